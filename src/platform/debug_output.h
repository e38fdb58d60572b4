// The debugger output channel (Linux: one line on standard error).
#pragma once

#include <string>

namespace platform {

void WriteDebugOutput(const std::wstring& text);

}  // namespace platform
