// The running process itself.
#pragma once

namespace platform {

// Sets the system's default error mode (Windows SetErrorMode(0); nothing to do on Linux).
void SetDefaultErrorMode();

}  // namespace platform
