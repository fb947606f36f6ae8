#pragma once

#include <QLoggingCategory>

// The app layer's log, category "trimlet.app" (on by default; QT_LOGGING_RULES turns it off).
Q_DECLARE_LOGGING_CATEGORY(appLog)

// Prints the lines of the trimlet.* categories as uncategorised lines always printed, without
// the "trimlet.player: " Qt's default format puts before them. A QT_MESSAGE_PATTERN set by the
// user is left to decide.
void printTrimletLogUnprefixed();
