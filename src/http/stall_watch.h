// The stall watch of a transfer: a try that receives no new byte for kStallLimitMs is aborted.
// Pieces and the single stream run it from their progress functions.
#pragma once

#include <cstdint>

namespace http_transfer {

// A transfer that receives no new byte for longer than this is aborted.
inline constexpr uint32_t kStallLimitMs = 15000;

// A transfer's stall watch: when it last looked and what it saw then.
struct StallWatch {
    uint32_t lastCheckTick = 0;
    double stallMark = 0;
};

// Starts a try's watch at the current tick count.
void StartStallWatch(StallWatch& watch);

// The stall watchdog, run on every progress call: true (abort the try) when more than
// kStallLimitMs have passed since the last look and no new byte has arrived meanwhile; otherwise
// a look that is due records the count and the time. The tick difference is unsigned, so the
// counter's wrap-around does no harm.
bool StallWatchdogExpired(uint32_t& lastCheckTick, double& stallMark, double downloadedNow,
                          uint32_t nowTick);
bool StallWatchdogExpired(StallWatch& watch, double downloadedNow);

}  // namespace http_transfer
