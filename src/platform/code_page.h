// Conversion between wide text and the system's narrow code page (the ANSI code page on
// Windows, UTF-8 on Linux). A failed conversion gives an empty string; narrow text that does
// not decode is kept, with U+FFFD for the bytes that do not.
#pragma once

#include <string>

namespace platform {

std::string WideToAnsi(const std::wstring& text);
std::wstring AnsiToWide(const std::string& text);

}  // namespace platform
