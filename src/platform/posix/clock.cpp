#include "platform/clock.h"

#include <time.h>

#include <cerrno>

namespace platform {

uint32_t GetTickCount32() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    uint64_t milliseconds =
        static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u;
    return static_cast<uint32_t>(milliseconds);
}

void SleepMilliseconds(uint32_t milliseconds) {
    timespec remaining;
    remaining.tv_sec = milliseconds / 1000u;
    remaining.tv_nsec = static_cast<long>(milliseconds % 1000u) * 1000000L;
    while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
    }
}

}  // namespace platform
