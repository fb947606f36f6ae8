#include "backgroundwork.h"

#if defined(__linux__)
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

namespace Media {

void yieldToInteractiveThreads()
{
#if defined(__linux__)
    setpriority(PRIO_PROCESS, id_t(syscall(SYS_gettid)), 10);
#endif
}

} // namespace Media
