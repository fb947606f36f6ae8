// Project files are read from disk unchecked, so the reader and everything that works on
// the clips it returns must cope with any bytes: no crash, no undefined behaviour, no hang,
// and what was read writes back and reads again unchanged.

#include "cliplist.h"
#include "editoperations.h"
#include "frameprocessor.h"
#include "playbackrules.h"
#include "projectfile.h"
#include "timeformat.h"
#include "timelinegeometry.h"
#include "titleoverlaylayout.h"

#include <QByteArray>
#include <cstdint>
#include <cstdlib>

namespace {

// What a save keeps of a colour: six hex digits, black for an invalid one.
QString savedColorName(const QColor &color)
{
    return color.isValid() ? color.name() : QStringLiteral("#000000");
}

bool sameAfterSave(const Clip &a, const Clip &b)
{
    Clip left = a;
    Clip right = b;
    const QString leftColor = savedColorName(left.color);
    const QString rightColor = savedColorName(right.color);
    const QString leftTitleColor = savedColorName(left.titleColor);
    const QString rightTitleColor = savedColorName(right.titleColor);
    left.color = right.color = QColor();
    left.titleColor = right.titleColor = QColor();
    return left == right && leftColor == rightColor && leftTitleColor == rightTitleColor;
}

void exerciseConsumers(const ClipList &clips)
{
    const qint64 videoDuration = 6000;
    qint64 probe = 0;
    Playback::EditFollower follower;
    for (const Clip &clip : clips) {
        probe ^= titleDisplayDurationMs(clip);
        if (titleDisplayDurationMs(clip) < 0)
            std::abort();
        probe ^= FrameProcessor::titleVisibleAt(clip, clip.originalStart / 1000.0 + 1.0);
        for (qint64 p : {clip.originalStart, clip.originalEnd, clip.startTime, clip.endTime,
                         saturatingSub(clip.originalStart, 1), saturatingAdd(clip.originalEnd, 1)}) {
            probe ^= sourceToTimelineOrSame(clips, p);
            probe ^= timelineToSourceOrSame(clips, p, 0);
            probe ^= follower.frame(clips, p).target; // any number stands for a frame time
            probe ^= follower.muteFrom(clips, Playback::MuteLeadMs);
            probe ^= Playback::playStartPosition(clips, p);
            probe ^= Playback::skipTarget(clips, p, videoDuration, true, true);
            probe ^= Playback::skipTarget(clips, p, videoDuration, false, false);
            probe ^= Playback::frameStepTarget(p, clip.length(), videoDuration, true);
            probe ^= Playback::frameStepTarget(p, p, videoDuration, false);
            probe ^= timeToX(p, 1000, videoDuration, 10, 50);
            probe ^= timelineOffsetShowing(p, 1000, videoDuration, 3, 0);
            probe ^= formatTime(p).size();
        }
    }

    EditState state;
    state.clips = clips;
    state.videoDuration = videoDuration;
    state.playerPosition = clips.isEmpty() ? 0 : clips.first().originalStart / 2 + clips.first().originalEnd / 2;
    state.selectedClipIndex = 0;
    state.selectionStart = clips.isEmpty() ? 0 : clips.last().startTime;
    state.selectionEnd = clips.isEmpty() ? 10 : clips.last().endTime;
    for (const EditOutcome &outcome :
         {Edit::splitAtPlayhead(state), Edit::markClip(state), Edit::deleteSelectedClips(state),
          Edit::deleteUnmarkedClips(state), Edit::deleteMarkedClips(state), Edit::trimClipStart(state),
          Edit::trimClipEnd(state)})
        probe ^= outcome.editedDuration;

    ClipList laidOut = clips;
    const qint64 edited = recalculateTimeline(laidOut);
    for (int i = 1; i < laidOut.size(); ++i) {
        if (laidOut[i - 1].originalStart > laidOut[i].originalStart || laidOut[i - 1].endTime != laidOut[i].startTime)
            std::abort();
    }
    if (!laidOut.isEmpty() && laidOut.last().endTime != edited)
        std::abort();
    // Keeps the calls from being optimised away.
    if (probe == 0x5a5a5a5a5a5a5a5a)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes = QByteArray::fromRawData(reinterpret_cast<const char *>(data), qsizetype(size));
    const ProjectFile::ReadResult result = ProjectFile::read(bytes);
    if (!result.ok())
        return 0;
    if (result.videoPath.isEmpty())
        std::abort();

    exerciseConsumers(result.clips);

    const ProjectFile::ReadResult again = ProjectFile::read(ProjectFile::write(result.videoPath, 0, result.clips));
    if (!again.ok() || again.warning || again.videoPath != result.videoPath || again.clips.size() != result.clips.size())
        std::abort();
    for (int i = 0; i < result.clips.size(); ++i) {
        if (!sameAfterSave(result.clips[i], again.clips[i]))
            std::abort();
    }
    return 0;
}
