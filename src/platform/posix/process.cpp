#include "platform/process.h"

namespace platform {

void SetDefaultErrorMode() {}

}  // namespace platform
