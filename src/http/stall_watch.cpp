#include "http/stall_watch.h"

#include "platform/clock.h"

namespace http_transfer {

void StartStallWatch(StallWatch& watch) {
    watch.stallMark = 0;
    watch.lastCheckTick = platform::GetTickCount32();
}

bool StallWatchdogExpired(uint32_t& lastCheckTick, double& stallMark, double downloadedNow,
                          uint32_t nowTick) {
    if (nowTick - lastCheckTick <= kStallLimitMs)
        return false;
    if (downloadedNow <= stallMark)
        return true;
    stallMark = downloadedNow;
    lastCheckTick = nowTick;
    return false;
}

bool StallWatchdogExpired(StallWatch& watch, double downloadedNow) {
    return StallWatchdogExpired(watch.lastCheckTick, watch.stallMark, downloadedNow,
                                platform::GetTickCount32());
}

}  // namespace http_transfer
