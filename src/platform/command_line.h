// Splitting a command line into arguments with the Windows rules (CommandLineToArgvW): the first
// token by the program-name rule, the others with quotes and backslash escapes.
#pragma once

#include <string>
#include <vector>

namespace platform {

// False when the text cannot be split. An empty text yields the program's own path, as on
// Windows; callers that do not want that test for a blank line first.
bool SplitCommandLine(const std::wstring& commandLine, std::vector<std::wstring>& arguments);

}  // namespace platform
