#include "fontwarmup.h"

#include <thread>

#if defined(__linux__)
#include <dlfcn.h>
#endif

void startFontConfigWarmUp()
{
#if defined(__linux__)
    // Qt's font database uses fontconfig, already loaded with Qt; nothing is loaded for this.
    void *library = dlopen("libfontconfig.so.1", RTLD_LAZY | RTLD_NOLOAD);
    if (!library)
        return;
    using InitFunction = int (*)();
    auto init = reinterpret_cast<InitFunction>(dlsym(library, "FcInit"));
    if (!init)
        return;
    // Detached: the process may end first (a command-line export, a refused argument), and
    // then nothing waits for it. Qt's own first call finds the configuration loaded.
    std::thread([init] { init(); }).detach();
#endif
}
