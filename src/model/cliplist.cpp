#include "cliplist.h"

#include <algorithm>

qint64 recalculateTimeline(ClipList &clips)
{
    const auto bySource = [](const Clip &a, const Clip &b) { return a.originalStart < b.originalStart; };
    // Nearly every edit leaves the list in order; sorting it anyway moves every part.
    if (!std::is_sorted(std::as_const(clips).begin(), std::as_const(clips).end(), bySource))
        std::stable_sort(clips.begin(), clips.end(), bySource);
    qint64 sum = 0;
    for (Clip &clip : clips) {
        clip.startTime = sum;
        sum = saturatingAdd(sum, clip.length());
        clip.endTime = sum;
    }
    return sum;
}

int clipIndexAtSource(const ClipList &clips, qint64 position)
{
    for (int i = 0; i < clips.size(); ++i) {
        if (clips[i].containsSource(position))
            return i;
    }
    return -1;
}

int clipIndexHoldingFrame(const ClipList &clips, qint64 position)
{
    for (int i = 0; i < clips.size(); ++i) {
        if (clips[i].originalStart <= position && position < clips[i].originalEnd)
            return i;
    }
    return -1;
}

int firstMarkedClipIndex(const ClipList &clips)
{
    for (int i = 0; i < clips.size(); ++i) {
        if (clips[i].isMarked)
            return i;
    }
    return -1;
}

qint64 sourceToTimeline(const ClipList &clips, qint64 position)
{
    const int index = clipIndexAtSource(clips, position);
    if (index < 0)
        return 0;
    const Clip &clip = clips[index];
    return saturatingAdd(clip.startTime, saturatingSub(position, clip.originalStart));
}

qint64 timelineToSource(const ClipList &clips, qint64 position, qint64 editedDuration)
{
    for (const Clip &clip : clips) {
        if (clip.startTime <= position && position <= clip.endTime)
            return saturatingAdd(clip.originalStart, saturatingSub(position, clip.startTime));
    }
    if (clips.isEmpty() || position <= editedDuration)
        return 0;
    return clips.last().originalEnd;
}

qint64 sourceToTimelineOrSame(const ClipList &clips, qint64 position)
{
    return clips.isEmpty() ? position : sourceToTimeline(clips, position);
}

qint64 timelineToSourceOrSame(const ClipList &clips, qint64 position, qint64 editedDuration)
{
    return clips.isEmpty() ? position : timelineToSource(clips, position, editedDuration);
}

bool hasVisualEffects(const Clip &c)
{
    return c.blurIntensity >= 1 || c.brightness != 0 || c.contrast != 0 || c.saturation != 0
        || c.opacity <= 99 || c.fadeInDuration >= 1 || c.fadeOutDuration >= 1 || c.grayscale
        || c.sepia || c.rotation != 0;
}

bool computeHasEffects(const Clip &c)
{
    return hasVisualEffects(c) || (c.showTitle && !c.titleText.isEmpty());
}

Clip makeFirstClip(qint64 duration)
{
    Clip clip;
    clip.startTime = 0;
    clip.endTime = duration;
    clip.originalStart = 0;
    clip.originalEnd = duration;
    clip.isMarked = false;
    clip.name = QStringLiteral("Part 1");
    clip.color = firstClipColor();
    return clip;
}

bool applyClipClick(ClipList &clips, int index, bool controlHeld)
{
    if (index < 0 || index >= clips.size())
        return false;
    if (!controlHeld) {
        for (Clip &clip : clips)
            clip.isMarked = false;
    }
    clips[index].isMarked = !clips[index].isMarked;
    return true;
}

namespace {

// The length of a program-given prefix the name starts with, when a number alone follows it.
qsizetype numberedPrefixLength(const QString &name)
{
    static const QString prefixes[] = {QStringLiteral("Part "), QStringLiteral("Kept Region ")};
    for (const QString &prefix : prefixes) {
        if (name.size() <= prefix.size() || !name.startsWith(prefix))
            continue;
        for (qsizetype i = prefix.size(); i < name.size(); ++i) {
            if (!name.at(i).isDigit())
                return -1;
        }
        return prefix.size();
    }
    return -1;
}

} // namespace

void numberPartsByPosition(ClipList &clips)
{
    for (int i = 0; i < clips.size(); ++i) {
        const QString &name = clips.at(i).name;
        const qsizetype prefix = numberedPrefixLength(name);
        if (prefix < 0)
            continue;
        const QString number = QString::number(i + 1);
        if (QStringView(name).mid(prefix) != number)
            clips[i].name = name.left(prefix) + number;
    }
}

bool sameLook(const Clip &a, const Clip &b)
{
    Clip placed = b;
    placed.startTime = a.startTime;
    placed.endTime = a.endTime;
    placed.originalStart = a.originalStart;
    placed.originalEnd = a.originalEnd;
    placed.isMarked = a.isMarked;
    placed.name = a.name;
    placed.color = a.color;
    return placed == a;
}
