// Results of waiting for a thread or a process, with the values Windows gives them (they are
// logged as numbers).
#pragma once

#include <cstdint>

namespace platform {

enum WaitResult : uint32_t {
    kWaitSignalled = 0,         // WAIT_OBJECT_0
    kWaitTimeout = 258,         // WAIT_TIMEOUT
    kWaitFailed = 0xFFFFFFFFu,  // WAIT_FAILED
};

inline constexpr uint32_t kWaitInfinite = 0xFFFFFFFFu;

}  // namespace platform
