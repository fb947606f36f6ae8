#pragma once

#include <QLoggingCategory>

// The export layer's log, category "trimlet.export" (on by default; QT_LOGGING_RULES turns it off).
Q_DECLARE_LOGGING_CATEGORY(exportLog)
