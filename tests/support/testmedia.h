#pragma once

#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>
#include <QVector>

// Test fixtures made at run time with ffmpeg's lavfi sources.
namespace TestMedia {

struct VideoOptions {
    int seconds = 3;
    int width = 320;
    int height = 240;
    int fps = 25;
    bool withAudio = true;
    QStringList extraOutputArgs; // e.g. metadata or codec options
};

// Writes an H.264/AAC MP4 to path; returns false (and logs ffmpeg's output) on failure.
bool makeVideo(const QString &path, const VideoOptions &options = {});
// An H.264/AAC MP4 from a lavfi picture source and a lavfi sound source (filter graphs
// allowed), with extra output arguments before the path.
bool makeSoundVideo(const QString &path, const QString &picture, const QString &sound,
                    const QStringList &extraOutputArgs = {});
// One second each of red, lime, blue and yellow, 320x180, a key frame at every second.
bool makeColourSecondsVideo(const QString &path);
// Runs ffmpeg with the given arguments (after "-y -v error"); true on exit code 0.
bool runFFmpeg(const QStringList &args, QString *errorOutput = nullptr);
// Runs ffprobe and returns its standard output.
QString runFFprobe(const QStringList &args);
// Duration of a media file in seconds from ffprobe, or -1.
double probeDuration(const QString &path);
// Per decoded frame of output, its PSNR against the source frame it should be, the source's
// frames [first, end) of each range in turn (inf: identical). Empty when ffmpeg fails.
QVector<double> framePsnr(const QString &output, const QString &source, const QList<QPair<int, int>> &frames,
                          const QString &workDir);

} // namespace TestMedia
