#include "platform/clock.h"

#include <windows.h>

namespace platform {

uint32_t GetTickCount32() {
    return GetTickCount();
}

void SleepMilliseconds(uint32_t milliseconds) {
    Sleep(milliseconds);
}

}  // namespace platform
