#include "platform/debug_output.h"

#include <windows.h>

namespace platform {

void WriteDebugOutput(const std::wstring& text) {
    OutputDebugStringW(text.c_str());
}

}  // namespace platform
