#include "damagecheck.h"

#include "childprocess.h"
#include "mediaindex.h"
#include "smartcutplan.h"

#include <chrono>

namespace {

const int scanTimeoutMs = 10 * 60 * 1000;

} // namespace

DamageCheck::DamageCheck(const QString &videoPath)
    : cancel(std::make_shared<std::atomic<bool>>(false))
{
    result = std::async(std::launch::async, [videoPath, flag = cancel] {
        const auto index = Media::MediaIndexCache::instance().get(videoPath, flag.get());
        return SmartCut::damagedFileNote(*index);
    });
}

DamageCheck::~DamageCheck()
{
    // The future's own end then waits only for the scan to notice.
    cancel->store(true);
}

QString DamageCheck::note()
{
    if (!result.valid())
        return QString();
    waitWithoutFreezing([this] { return result.wait_for(std::chrono::seconds(0)) == std::future_status::ready; },
                        scanTimeoutMs);
    if (result.wait_for(std::chrono::seconds(0)) != std::future_status::ready)
        return QString();
    return result.get();
}
