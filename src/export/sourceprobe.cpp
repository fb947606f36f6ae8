#include "sourceprobe.h"

#include "childprocess.h"
#include "exportlog.h"

#include <future>
#include <memory>

namespace {

const int probeTimeoutMs = 5000;

} // namespace

SourceFacts probeSource(const QString &path)
{
    auto cancel = std::make_shared<std::atomic<bool>>(false);
    std::future<SourceFacts> facts =
        std::async(std::launch::async, [path, cancel] { return Media::readSourceFacts(path, cancel.get()); });
    const auto ready = [&facts] { return facts.wait_for(std::chrono::seconds(0)) == std::future_status::ready; };
    if (!waitWithoutFreezing(ready, probeTimeoutMs)) {
        // The cancel ends a read that blocks; the future's end waits for that.
        qCWarning(exportLog) << "Failed to detect video resolution, using default 1920x1080";
        cancel->store(true);
        return SourceFacts();
    }
    const SourceFacts read = facts.get();
    if (read.sizeKnown)
        qCDebug(exportLog) << "Original video resolution:" << read.width << "x" << read.height;
    return read;
}
