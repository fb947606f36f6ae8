#pragma once

#include <QLoggingCategory>

// The widgets layer's log, category "trimlet.widgets" (on by default; QT_LOGGING_RULES turns it off).
Q_DECLARE_LOGGING_CATEGORY(widgetsLog)
