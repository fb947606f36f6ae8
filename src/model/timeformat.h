#pragma once

#include <QString>

// "mm:ss" with no hours (62:05 for 3725000 ms); used by every label and message.
QString formatTime(qint64 ms);

// "mm:ss.zzz" (02:00.033): where a whole second would name the wrong frame.
QString formatPreciseTime(qint64 ms);

// Seconds to the hundredth, truncated: "04.93" below a minute, "mm:ss.cc" (01:02.50) from one, or
// whenever `scaleMs` reaches a minute, so times said together read alike.
QString formatHundredths(qint64 ms, qint64 scaleMs = 0);
