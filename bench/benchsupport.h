#pragma once

// What the effect benchmarks share: CPU time of the calling thread, and the CPU
// time FFmpeg itself reports for a filter chain, so the two sides are measured
// alike even on a loaded machine (wall time there counts other processes' turns).
#include "imagekernels.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRegularExpression>
#include <QStringList>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <functional>
#include <vector>

namespace Bench {

inline double threadCpuMs()
{
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return double(now.tv_sec) * 1e3 + double(now.tv_nsec) / 1e6;
}

inline double median(std::vector<double> values)
{
    if (values.empty())
        return -1;
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// Milliseconds from starting the program to the output line that holds `line` (or, with an
// empty `line`, to its successful end); negative on failure.
inline double msUntilLine(const QString &program, const QStringList &args, const QByteArray &line,
                          const QProcessEnvironment &environment = QProcessEnvironment::systemEnvironment())
{
    QProcess process;
    process.setProcessEnvironment(environment);
    process.setStandardErrorFile(QProcess::nullDevice());
    QElapsedTimer timer;
    timer.start();
    process.start(program, args);
    if (line.isEmpty()) {
        if (!process.waitForFinished(60000) || process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0)
            return -1;
        return double(timer.nsecsElapsed()) / 1e6;
    }
    while (process.waitForReadyRead(60000)) {
        if (process.readAll().contains(line)) {
            const double ms = double(timer.nsecsElapsed()) / 1e6;
            process.waitForFinished(30000);
            return ms;
        }
    }
    process.kill();
    process.waitForFinished();
    return -1;
}

// Median CPU time of `work` on this thread, after one warming run.
inline double medianCpuMs(int runs, const std::function<void()> &work)
{
    std::vector<double> times;
    work();
    for (int i = 0; i < runs; ++i) {
        const double start = threadCpuMs();
        work();
        times.push_back(threadCpuMs() - start);
    }
    return median(times);
}

// CPU seconds (user and system) FFmpeg reports with -benchmark for `frames`
// frames of `input` through `filters` on one thread, or -1.
inline double ffmpegCpuSeconds(const QStringList &input, const QString &filters, int frames)
{
    QStringList args{"-hide_banner", "-nostats", "-benchmark", "-threads", "1", "-filter_threads", "1"};
    args << input << "-frames:v" << QString::number(frames);
    if (!filters.isEmpty())
        args << "-vf" << filters;
    args << "-f" << "null" << "-";
    QProcess ffmpeg;
    ffmpeg.start("ffmpeg", args);
    if (!ffmpeg.waitForFinished(600000))
        return -1;
    const QString err = QString::fromLocal8Bit(ffmpeg.readAllStandardError());
    const auto match = QRegularExpression("utime=([0-9.]+)s stime=([0-9.]+)s").match(err);
    return match.hasMatch() ? match.captured(1).toDouble() + match.captured(2).toDouble() : -1;
}

// FFmpeg's CPU time per frame for the chain, its source alone taken off.
inline double ffmpegChainMs(const QStringList &input, const QString &chain, int frames)
{
    const double withChain = ffmpegCpuSeconds(input, chain, frames);
    const double sourceOnly = ffmpegCpuSeconds(input, QString(), frames);
    if (withChain < 0 || sourceOnly < 0)
        return -1;
    return (withChain - sourceOnly) * 1000.0 / frames;
}

// The nearest FFmpeg chain to every preview effect with blur 100 (sigma 20).
inline QString allEffectsChain()
{
    return "gblur=sigma=20,eq=brightness=0.078:contrast=1.3:saturation=1.5,hue=s=0,"
           "colorchannelmixer=.393:.769:.189:0:.349:.686:.168:0:.272:.534:.131:0:0:0:0:0.7";
}

inline const char *levelName(ImageKernels::SimdLevel level)
{
    switch (level) {
    case ImageKernels::SimdLevel::Avx512:
        return "avx512";
    case ImageKernels::SimdLevel::Avx2:
        return "avx2";
    case ImageKernels::SimdLevel::Portable:
        break;
    }
    return "portable";
}

// Our time and FFmpeg's, measured in turns so both see the same machine load:
// for each pair, `ours` at every level this CPU has, then `ffmpeg` once.
// Prints the medians and the median of the per-pair ratios.
inline void pairedWithFfmpeg(int pairs, const std::function<double(ImageKernels::SimdLevel)> &ours,
                             const std::function<double()> &ffmpeg)
{
    using ImageKernels::SimdLevel;
    const SimdLevel best = ImageKernels::supportedSimdLevel();
    std::vector<double> oursMs[3], ratios[3], ffmpegMs;
    for (int p = 0; p < pairs; ++p) {
        double mine[3] = {-1, -1, -1};
        for (SimdLevel level : {SimdLevel::Portable, SimdLevel::Avx2, SimdLevel::Avx512}) {
            if (level > best)
                continue;
            ImageKernels::setSimdLevel(level);
            mine[int(level)] = ours(level);
        }
        ImageKernels::setSimdLevel(best);
        const double theirs = ffmpeg();
        if (theirs <= 0)
            continue;
        ffmpegMs.push_back(theirs);
        for (int l = 0; l < 3; ++l) {
            if (mine[l] >= 0) {
                oursMs[l].push_back(mine[l]);
                ratios[l].push_back(mine[l] / theirs);
            }
        }
    }
    if (ffmpegMs.empty()) {
        std::printf("  FFmpeg unavailable\n");
        return;
    }
    std::printf("  %d pairs; FFmpeg median %.2f ms/frame\n", int(ffmpegMs.size()), median(ffmpegMs));
    for (SimdLevel level : {SimdLevel::Avx512, SimdLevel::Avx2, SimdLevel::Portable}) {
        if (level > best)
            continue;
        std::printf("  %-9s ours %7.2f ms/frame = %5.2fx FFmpeg (median of pair ratios)\n", levelName(level),
                    median(oursMs[int(level)]), median(ratios[int(level)]));
    }
}

} // namespace Bench
