#pragma once

#include <QObject>
#include <QProcess>
#include <QString>
#include <QTemporaryDir>

#include <memory>

// Qt 6.4's FFmpeg back end finds no duration in a Matroska or WebM file and then ignores
// every seek: such a file is played from a stream copy in MP4 made when it loads. This is that
// copy: its ffmpeg run, its fallback and the folder the copies live in (one at a time).
class PlaybackCopy : public QObject {
    Q_OBJECT
public:
    explicit PlaybackCopy(QObject *parent = nullptr);
    ~PlaybackCopy() override;

    // Told by the EBML magic that starts every Matroska and WebM file.
    static bool isNeeded(const QString &path);

    // Copies source into the folder, named for the load; copies of earlier loads are removed
    // and a copy still under way is abandoned. ready follows.
    void start(const QString &source, int load);
    // Abandons a copy under way; it reports nothing.
    void cancel();
    bool isRunning() const { return process != nullptr; }
    // The program run for the copy; "ffmpeg" found on the PATH unless a test says otherwise.
    void setProgram(const QString &program) { ffmpeg = program; }

signals:
    // The file to play: the copy, or the source itself when no copy could be made.
    void ready(const QString &path);

private:
    void run(bool encodeAudio);
    void onFinished(int exitCode, QProcess::ExitStatus status);

    QString ffmpeg = QStringLiteral("ffmpeg");
    QProcess *process = nullptr;
    QString source;
    QString target;
    bool encodesAudio = false;
    std::unique_ptr<QTemporaryDir> folder;
};
