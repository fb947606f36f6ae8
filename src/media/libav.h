#pragma once

// FFmpeg's libraries, and the hundred codec libraries they bring, are opened on first use
// rather than when the program starts: loading them took a third of the time to the window.
// Each function below is an object in namespace Media that hides the global declaration, so
// code in Media calls it unqualified as before; elsewhere `TRIMLET_USE_LIBAV` brings the names in.

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/dict.h>
#include <libavutil/display.h>
#include <libavutil/error.h>
#include <libavutil/frame.h>
#include <libavutil/mathematics.h>
#include <libavutil/pixdesc.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

#include <atomic>

#define TRIMLET_LIBAV_FUNCTIONS(X) \
    X(avcodec, av_new_packet) \
    X(avcodec, av_packet_alloc) \
    X(avcodec, av_packet_free) \
    X(avcodec, av_packet_free_side_data) \
    X(avcodec, av_packet_get_side_data) \
    X(avcodec, av_packet_move_ref) \
    X(avcodec, av_packet_rescale_ts) \
    X(avcodec, av_packet_unref) \
    X(avcodec, avcodec_alloc_context3) \
    X(avcodec, avcodec_find_decoder) \
    X(avcodec, avcodec_flush_buffers) \
    X(avcodec, avcodec_free_context) \
    X(avcodec, avcodec_get_name) \
    X(avcodec, avcodec_open2) \
    X(avcodec, avcodec_parameters_copy) \
    X(avcodec, avcodec_parameters_to_context) \
    X(avcodec, avcodec_receive_frame) \
    X(avcodec, avcodec_send_packet) \
    X(avformat, av_find_best_stream) \
    X(avformat, av_find_input_format) \
    X(avformat, av_guess_sample_aspect_ratio) \
    X(avformat, av_interleaved_write_frame) \
    X(avformat, av_read_frame) \
    X(avformat, av_seek_frame) \
    X(avformat, av_stream_get_side_data) \
    X(avformat, av_stream_new_side_data) \
    X(avformat, av_write_trailer) \
    X(avformat, avformat_alloc_context) \
    X(avformat, avformat_alloc_output_context2) \
    X(avformat, avformat_close_input) \
    X(avformat, avformat_find_stream_info) \
    X(avformat, avformat_free_context) \
    X(avformat, avformat_index_get_entries_count) \
    X(avformat, avformat_index_get_entry_from_timestamp) \
    X(avformat, avformat_new_stream) \
    X(avformat, avformat_open_input) \
    X(avformat, avformat_seek_file) \
    X(avformat, avformat_write_header) \
    X(avformat, avio_closep) \
    X(avformat, avio_feof) \
    X(avformat, avio_open) \
    X(avformat, avio_seek) \
    X(avutil, av_channel_layout_compare) \
    X(avutil, av_channel_layout_copy) \
    X(avutil, av_channel_layout_default) \
    X(avutil, av_channel_layout_uninit) \
    X(avutil, av_color_primaries_name) \
    X(avutil, av_color_range_name) \
    X(avutil, av_color_space_name) \
    X(avutil, av_color_transfer_name) \
    X(avutil, av_dict_free) \
    X(avutil, av_dict_get) \
    X(avutil, av_dict_set) \
    X(avutil, av_display_rotation_get) \
    X(avutil, av_frame_alloc) \
    X(avutil, av_frame_free) \
    X(avutil, av_frame_unref) \
    X(avutil, av_get_pix_fmt_name) \
    X(avutil, av_rescale) \
    X(avutil, av_rescale_q) \
    X(avutil, av_strerror) \
    X(swresample, swr_alloc_set_opts2) \
    X(swresample, swr_convert) \
    X(swresample, swr_free) \
    X(swresample, swr_get_out_samples) \
    X(swresample, swr_init) \
    X(swscale, sws_freeContext) \
    X(swscale, sws_getCachedContext) \
    X(swscale, sws_getCoefficients) \
    X(swscale, sws_scale) \
    X(swscale, sws_setColorspaceDetails)

namespace Media::Libav {

enum class Library { avcodec, avformat, avutil, swresample, swscale };

// The address of a function of one of the libraries, which are opened on the first call;
// a missing library or function ends the program with a message.
void *resolve(Library library, const char *name);

template <typename Pointer>
class Function;

template <typename Result, typename... Arguments>
class Function<Result (*)(Arguments...)> {
public:
    constexpr Function(Library library, const char *name)
        : library(library)
        , name(name)
    {
    }

    Result operator()(Arguments... arguments) const
    {
        auto *function = address.load(std::memory_order_acquire);
        if (!function) {
            function = reinterpret_cast<Result (*)(Arguments...)>(resolve(library, name));
            address.store(function, std::memory_order_release);
        }
        return function(arguments...);
    }

private:
    Library library;
    const char *name;
    mutable std::atomic<Result (*)(Arguments...)> address{nullptr};
};

} // namespace Media::Libav

namespace Media {
// Some declarations carry warn_unused_result, which a function pointer type cannot keep.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wignored-attributes"
#define TRIMLET_LIBAV_DECLARE(library, name) \
    inline const Libav::Function<decltype(&::name)> name{Libav::Library::library, #name};
TRIMLET_LIBAV_FUNCTIONS(TRIMLET_LIBAV_DECLARE)
#undef TRIMLET_LIBAV_DECLARE
#pragma GCC diagnostic pop

// The header's own avio_tell() would call avio_seek() directly. An object, like the
// functions above, so that argument-dependent lookup does not find the header's.
inline constexpr auto avio_tell = [](AVIOContext *context) { return avio_seek(context, 0, SEEK_CUR); };
} // namespace Media

#define TRIMLET_LIBAV_USING(library, name) using Media::name;
// Inside another namespace: its code calls the functions unqualified.
#define TRIMLET_USE_LIBAV TRIMLET_LIBAV_FUNCTIONS(TRIMLET_LIBAV_USING) using Media::avio_tell;
