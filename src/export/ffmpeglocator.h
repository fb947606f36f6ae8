#pragma once

#include <QString>
#include <QStringList>

class QWidget;
class UserPrompts;

// Where ffmpeg is looked for, in order; only the bare name matters outside Windows.
QStringList ffmpegCandidates();

// The first candidate that runs "-version" with exit code 0, or an empty string.
// Searches again at every call.
QString findFFmpeg();
QString findFFmpegAmong(const QStringList &candidates);

QString ffmpegNotFoundText();

// Shows the "FFmpeg Not Found" box and returns false when no ffmpeg works.
bool checkFFmpegAvailable(UserPrompts &prompts, QWidget *parent);
bool checkFFmpegAvailable(UserPrompts &prompts, QWidget *parent, const QStringList &candidates);
