#pragma once

#include "clip.h"

#include <QColor>
#include <QElapsedTimer>
#include <QFont>
#include <QImage>
#include <QObject>
#include <QStringList>
#include <QVector>

class GPUBlurProcessor;
class QFontMetrics;

enum class ProcessingQuality { Draft = 0, High = 1, Export = 2 };

// Draws a clip's effects and title into one frame, on QImage alone, so it can
// run on the worker thread.
class FrameProcessor : public QObject {
    Q_OBJECT
public:
    explicit FrameProcessor(QObject *parent = nullptr);
    ~FrameProcessor() override;

    // positionSeconds is the frame's position in the source video.
    QImage processFrame(const QImage &input, const Clip &clip, double positionSeconds, ProcessingQuality quality,
                        bool scrubbing);

    QImage applyBlur(const QImage &image, int intensity, ProcessingQuality quality);
    QImage exactGaussianBlur(const QImage &image, double sigma);
    QImage fastBlur(const QImage &image, double sigma);
    QImage renderTitle(const QImage &image, const QString &text, const QFont &font, const QColor &color,
                       bool centered);

    // The single steps, each on a 32-bit image (ARGB32 or RGB32).
    static QImage toProcessingFormat(const QImage &image);
    static QImage rotate(const QImage &image, int degrees);
    static QImage adjustBrightness(const QImage &image, int brightness);
    static QImage adjustContrast(const QImage &image, int contrast);
    static QImage adjustSaturation(const QImage &image, int saturation);
    static QImage applyGrayscale(const QImage &image);
    static QImage applySepia(const QImage &image);
    static QImage applyFade(const QImage &image, double x, bool fadingIn, double duration);
    static QImage applyOpacity(const QImage &image, int level);

    static QVector<double> gaussianKernel(double sigma);
    // Whether the clip's title shows at this source position.
    static bool titleVisibleAt(const Clip &clip, double positionSeconds);
    static QFont titleFont(const Clip &clip);
    // Greedy word wrap: paragraphs on "\n", words on single spaces, empty parts dropped.
    static QStringList wrapTitleLines(const QString &text, const QFontMetrics &metrics, int maxWidth);
    static QString qualityName(ProcessingQuality quality);

    GPUBlurProcessor *gpuBlurProcessor() const { return gpuBlur; }

signals:
    void processingStarted();
    void processingFinished(qint64 timeMs);

private:
    enum LogLine { FrameLine, BlurLine, BlurPathLine, KernelLine, TitleLine, LogLineCount };
    // Per-frame lines appear at most once a second each.
    bool mayLog(LogLine line);

    GPUBlurProcessor *gpuBlur = nullptr;
    QElapsedTimer logTimers[LogLineCount];
};
