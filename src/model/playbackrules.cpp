#include "playbackrules.h"

#include "cliplist.h"

#include <algorithm>

namespace Playback {

BoundaryAction boundaryAction(const ClipList &clips, qint64 position)
{
    if (clips.isEmpty())
        return {};
    const int index = clipIndexAtSource(clips, position);
    if (index >= 0) {
        const Clip &clip = clips[index];
        if (saturatingSub(clip.originalEnd, position) > NearEndMs)
            return {};
        if (index + 1 < clips.size())
            return {BoundaryAction::Seek, clips[index + 1].originalStart};
        return {BoundaryAction::PauseAndSeek, clips.first().originalStart};
    }
    if (position > clips.last().originalEnd)
        return {BoundaryAction::PauseAndSeek, clips.first().originalStart};
    if (position >= clips.first().originalStart) {
        for (int j = 0; j + 1 < clips.size(); ++j) {
            if (clips[j].originalEnd < position && position < clips[j + 1].originalStart)
                return {BoundaryAction::Seek, clips[j + 1].originalStart};
        }
        return {};
    }
    return {BoundaryAction::Seek, clips.first().originalStart};
}

qint64 playStartPosition(const ClipList &clips, qint64 position)
{
    if (clips.isEmpty() || clipIndexAtSource(clips, position) >= 0)
        return position;
    return clips.first().originalStart;
}

qint64 skipTarget(const ClipList &clips, qint64 p, qint64 d, bool playing, bool forward)
{
    const qint64 s = playing ? 10000 : 1000;
    if (clips.isEmpty())
        return std::clamp(forward ? saturatingAdd(p, s) : saturatingSub(p, s), qint64(0),
                          std::max<qint64>(d, 0));

    const int index = clipIndexAtSource(clips, p);
    qint64 target = 0;
    if (forward) {
        if (index >= 0) {
            const Clip &clip = clips[index];
            target = std::min(clip.originalEnd, saturatingAdd(p, s));
            if (target == clip.originalEnd && index + 1 < clips.size())
                target = clips[index + 1].originalStart;
        } else {
            target = clips.first().originalStart;
        }
        target = std::min(target, clips.last().originalEnd);
    } else {
        if (index >= 0) {
            const Clip &clip = clips[index];
            target = std::max(clip.originalStart, saturatingSub(p, s));
            if (target == clip.originalStart && index > 0) {
                const Clip &previous = clips[index - 1];
                target = std::max(saturatingSub(previous.originalEnd, s), previous.originalStart);
            }
        } else if (p < clips.last().originalEnd) {
            target = clips.first().originalStart;
        } else {
            const Clip &last = clips.last();
            target = std::max(saturatingSub(last.originalEnd, s), last.originalStart);
        }
        target = std::max(target, clips.first().originalStart);
    }
    return target;
}

qint64 frameStepTarget(qint64 position, qint64 videoDuration, bool forward)
{
    qint64 target = saturatingAdd(position, forward ? 33 : -33);
    target = std::min(target, videoDuration);
    return std::max<qint64>(target, 0);
}

} // namespace Playback
