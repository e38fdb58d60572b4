#include "platform/command_line.h"

#include <windows.h>

#include <shellapi.h>

namespace platform {

bool SplitCommandLine(const std::wstring& commandLine, std::vector<std::wstring>& arguments) {
    arguments.clear();
    int count = 0;
    LPWSTR* tokens = CommandLineToArgvW(commandLine.c_str(), &count);
    if (tokens == nullptr)
        return false;
    for (int i = 0; i < count; ++i)
        arguments.emplace_back(tokens[i]);
    LocalFree(tokens);
    return true;
}

}  // namespace platform
