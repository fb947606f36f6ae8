#pragma once

#include "clip.h"

// Parts of an edit as the tests write them: source times only, the rest as a new part has it.
namespace TestClips {

inline Clip clipOf(qint64 startMs, qint64 endMs)
{
    Clip c;
    c.originalStart = startMs;
    c.originalEnd = endMs;
    return c;
}

inline Clip withEffects(Clip c)
{
    c.hasEffects = true;
    return c;
}

} // namespace TestClips
