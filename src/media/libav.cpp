#include "libav.h"

#include <QtGlobal>

#include <iterator>

#include <dlfcn.h>

namespace Media::Libav {
namespace {

#define TRIMLET_STRINGIFY_VALUE(x) #x
#define TRIMLET_SONAME(base, major) "lib" base ".so." TRIMLET_STRINGIFY_VALUE(major)

// The versions the program was built against; another major version has another interface.
constexpr const char *sonames[] = {
    TRIMLET_SONAME("avcodec", LIBAVCODEC_VERSION_MAJOR),
    TRIMLET_SONAME("avformat", LIBAVFORMAT_VERSION_MAJOR),
    TRIMLET_SONAME("avutil", LIBAVUTIL_VERSION_MAJOR),
    TRIMLET_SONAME("swresample", LIBSWRESAMPLE_VERSION_MAJOR),
    TRIMLET_SONAME("swscale", LIBSWSCALE_VERSION_MAJOR),
};

struct Handles {
    void *library[std::size(sonames)] = {};

    Handles()
    {
        for (size_t i = 0; i < std::size(sonames); ++i) {
            library[i] = dlopen(sonames[i], RTLD_NOW | RTLD_GLOBAL);
            if (!library[i])
                qFatal("Trimlet cannot open the FFmpeg library %s: %s", sonames[i], dlerror());
        }
        // libav logs to stderr by itself (the muxer's faststart pass, a damaged file's
        // complaints); the program says what matters in its own words.
        if (qEnvironmentVariableIsEmpty("TRIMLET_DEBUG")) {
            using SetLevel = void (*)(int);
            const size_t avutil = static_cast<size_t>(Library::avutil);
            if (auto setLevel = reinterpret_cast<SetLevel>(dlsym(library[avutil], "av_log_set_level")))
                setLevel(AV_LOG_QUIET);
        }
    }
};

} // namespace

void *resolve(Library library, const char *name)
{
    static const Handles handles;
    void *address = dlsym(handles.library[static_cast<size_t>(library)], name);
    if (!address)
        qFatal("Trimlet cannot find %s in %s: %s", name, sonames[static_cast<size_t>(library)], dlerror());
    return address;
}

} // namespace Media::Libav
