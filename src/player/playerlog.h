#pragma once

#include <QLoggingCategory>

// The player layer's log, category "trimlet.player" (on by default; QT_LOGGING_RULES turns it off).
Q_DECLARE_LOGGING_CATEGORY(playerLog)
