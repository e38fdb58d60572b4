// Handle types that cross the platform seam without exposing the OS headers.
#pragma once

#ifdef _WIN32
struct HINSTANCE__;
#endif

namespace platform {

#ifdef _WIN32
using ModuleInstance = HINSTANCE__*;
#else
// Linux has no module instance; the entry point passes a non-null placeholder.
using ModuleInstance = const void*;
#endif

}  // namespace platform
