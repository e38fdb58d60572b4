// Conversion between wide text and the system's narrow code page (the ANSI code page on
// Windows, UTF-8 on Linux). A failed conversion gives an empty string. On Linux a byte that is
// not valid UTF-8 becomes the wide character U+DC80..U+DCFF and comes back as the same byte, so
// every narrow text, every path above all, survives the round trip.
#pragma once

#include <string>

namespace platform {

std::string WideToAnsi(const std::wstring& text);
std::wstring AnsiToWide(const std::string& text);

// Paths in narrow strings (the download paths): UTF-8 on Windows, so that a folder outside the
// ANSI code page (C:\users\Женя\...) is carried whole and reaches the wide file API unchanged;
// the narrow code page above on Linux. A failed conversion gives an empty string.
std::string WideToNarrowPath(const std::wstring& path);
std::wstring NarrowPathToWide(const std::string& path);

}  // namespace platform
