#include "platform/debug_output.h"

#include <cstdio>

#include "platform/posix/internal.h"

namespace platform {

void WriteDebugOutput(const std::wstring& text) {
    std::string line = WideToAnsi(text);
    line += '\n';
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
}

}  // namespace platform
