#pragma once

#include <QString>

#include <atomic>

#include "libav.h"

// What every reader in the media layer needs to open a file with libavformat.
namespace Media::Av {

struct FormatContext {
    AVFormatContext *context = nullptr;
    FormatContext() = default;
    FormatContext(const FormatContext &) = delete;
    FormatContext &operator=(const FormatContext &) = delete;
    ~FormatContext() { avformat_close_input(&context); }
};

struct Packet {
    AVPacket *packet = av_packet_alloc();
    Packet() = default;
    Packet(const Packet &) = delete;
    Packet &operator=(const Packet &) = delete;
    ~Packet() { av_packet_free(&packet); }
};

struct Frame {
    AVFrame *frame = av_frame_alloc();
    Frame() = default;
    Frame(const Frame &) = delete;
    Frame &operator=(const Frame &) = delete;
    ~Frame() { av_frame_free(&frame); }
};

struct CodecContext {
    AVCodecContext *context = nullptr;
    CodecContext() = default;
    CodecContext(const CodecContext &) = delete;
    CodecContext &operator=(const CodecContext &) = delete;
    ~CodecContext() { avcodec_free_context(&context); }
};

bool canceled(const std::atomic<bool> *cancel);

// Opens the file with the cancel flag as libavformat's interrupt callback, so a cancel
// also ends a read that blocks. False when it cannot be opened (or was cancelled).
bool openInput(FormatContext &format, const QString &absolutePath, const std::atomic<bool> *cancel);

// The best video stream that is not cover art; -1 when there is none.
int pickVideoStream(AVFormatContext *context);
// The first audio stream; -1 when there is none.
int pickAudioStream(AVFormatContext *context);
// Display rotation 0, 90, 180 or 270 from the display matrix or the "rotate" tag.
int rotationOf(const AVStream *stream);

// A decoder for the stream, single-threaded (the callers run on a background thread of
// their own), or false.
bool openDecoder(CodecContext &codec, const AVStream *stream);

} // namespace Media::Av
