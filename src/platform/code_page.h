// Conversion between wide text and the system's narrow code page (the ANSI code page on
// Windows, UTF-8 on Linux). A failed conversion gives an empty string.
#pragma once

#include <string>

namespace platform {

std::string WideToAnsi(const std::wstring& text);
std::wstring AnsiToWide(const std::string& text);

}  // namespace platform
