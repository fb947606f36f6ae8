#pragma once

#include <QString>

// "mm:ss" with no hours (62:05 for 3725000 ms); used by every label and message.
QString formatTime(qint64 ms);
