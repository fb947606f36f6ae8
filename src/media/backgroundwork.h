#pragma once

namespace Media {

// Called first on a thread that reads media in the background: on Linux it lowers the
// thread's nice value (QThread's priorities have no effect under the default scheduler),
// so the GUI thread wins the CPU on a busy machine.
void yieldToInteractiveThreads();

} // namespace Media
