#pragma once

#include <QtNumeric>
#include <limits>

// Clip times can come from a hand-edited project file, so sums and differences of
// them stick at the ends of the range instead of wrapping.

inline qint64 saturatingAdd(qint64 a, qint64 b)
{
    qint64 result;
    if (qAddOverflow(a, b, &result))
        return b > 0 ? std::numeric_limits<qint64>::max() : std::numeric_limits<qint64>::min();
    return result;
}

inline qint64 saturatingSub(qint64 a, qint64 b)
{
    qint64 result;
    if (qSubOverflow(a, b, &result))
        return b < 0 ? std::numeric_limits<qint64>::max() : std::numeric_limits<qint64>::min();
    return result;
}
