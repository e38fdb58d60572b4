#include "platform/process.h"

#include <windows.h>

namespace platform {

void SetDefaultErrorMode() {
    SetErrorMode(0);
}

}  // namespace platform
