#include "playbackrules.h"

#include "cliplist.h"

#include <algorithm>
#include <limits>

namespace Playback {

namespace {

qint64 toUs(qint64 ms)
{
    constexpr qint64 limit = std::numeric_limits<qint64>::max() / 1000;
    return std::clamp(ms, -limit, limit) * 1000;
}

bool keeps(const Clip &clip, qint64 us)
{
    return toUs(clip.originalStart) <= us && us < toUs(clip.originalEnd);
}

} // namespace

EditFollower::Step EditFollower::frame(const ClipList &clips, qint64 us)
{
    if (clips.isEmpty()) {
        reset();
        return {};
    }
    if (current >= clips.size() || pendingPart >= clips.size())
        reset();
    if (pendingPart >= 0) {
        // Frames decoded before the seek took effect lie behind its target or, after a jump
        // back, at or past where the jump left.
        const bool stale = us < pendingTargetUs || (pendingTargetUs < jumpedFromUs && us >= jumpedFromUs);
        if (stale)
            return {Step::Skip};
        current = pendingPart;
        pendingPart = -1;
        if (keeps(clips[current], us))
            return enter(current);
        // The part holds no frame at all: carry on as from its end.
    }
    if (current >= 0 && keeps(clips[current], us))
        return {};
    if (current >= 0 && us >= toUs(clips[current].originalEnd)) {
        const int next = current + 1;
        if (next >= clips.size())
            return jumpTo(clips, 0, us, Step::Finish);
        if (keeps(clips[next], us))
            return enter(next);
        return jumpTo(clips, next, us, Step::Jump);
    }
    for (int i = 0; i < clips.size(); ++i) {
        if (keeps(clips[i], us))
            return enter(i);
    }
    // In a removed span: on to the first part that starts after it.
    for (int i = 0; i < clips.size(); ++i) {
        if (toUs(clips[i].originalStart) > us)
            return jumpTo(clips, i, us, Step::Jump);
    }
    return jumpTo(clips, 0, us, Step::Finish);
}

void EditFollower::reset()
{
    current = -1;
    pendingPart = -1;
}

qint64 EditFollower::muteFrom(const ClipList &clips, qint64 leadMs) const
{
    const int part = playingPart();
    if (part < 0 || part >= clips.size())
        return -1;
    const qint64 end = clips[part].originalEnd;
    if (part + 1 < clips.size() && keeps(clips[part + 1], toUs(end)))
        return -1;
    return saturatingSub(end, leadMs);
}

EditFollower::Step EditFollower::jumpTo(const ClipList &clips, int part, qint64 fromUs, Step::Kind kind)
{
    current = -1;
    pendingPart = part;
    pendingTargetUs = toUs(clips[part].originalStart);
    jumpedFromUs = fromUs;
    return {kind, clips[part].originalStart};
}

EditFollower::Step EditFollower::enter(int part)
{
    current = part;
    Step step;
    step.entered = true;
    return step;
}

qint64 positionInEdit(const ClipList &clips, qint64 position)
{
    if (clips.isEmpty() || clipIndexAtSource(clips, position) >= 0)
        return position;
    qint64 next = -1;
    for (const Clip &clip : clips) {
        if (clip.originalStart > position && (next < 0 || clip.originalStart < next))
            next = clip.originalStart;
    }
    return next >= 0 ? next : clips.last().originalEnd;
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

    int index = clipIndexAtSource(clips, p);
    qint64 target = 0;
    if (forward) {
        // On the cut between touching parts the position still reads as the first one's end (a
        // paused player even reports it a millisecond early): the skip goes on in the next part.
        if (index >= 0 && index + 1 < clips.size()
            && saturatingSub(clips[index].originalEnd, p) <= SeekReportSlackMs
            && clips[index + 1].containsSource(clips[index].originalEnd))
            ++index;
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

qint64 frameStepTarget(qint64 frameStartUs, qint64 frameUs, qint64 videoDuration, bool forward)
{
    const qint64 step = frameUs > 0 ? frameUs : 33333;
    const qint64 targetUs = forward ? saturatingAdd(frameStartUs, step) : saturatingSub(frameStartUs, step);
    const qint64 lastMs = saturatingSub(videoDuration, 1);
    return std::clamp(targetUs / 1000, qint64(0), std::max<qint64>(lastMs, 0));
}

} // namespace Playback
