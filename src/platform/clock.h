// The system tick count and sleeping, in milliseconds.
#pragma once

#include <cstdint>

namespace platform {

// Milliseconds since an arbitrary start, wrapping around after about 49.7 days, as GetTickCount.
// Compare two ticks only by their unsigned difference.
uint32_t GetTickCount32();

void SleepMilliseconds(uint32_t milliseconds);

}  // namespace platform
