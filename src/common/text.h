// Text helpers shared by every room: code-page conversion and ASCII case handling.
#pragma once

#include <string>

#include "platform/code_page.h"

// Wide to narrow and back in the system's narrow code page; a failed conversion gives "".
inline std::string ToNarrow(const std::wstring& text) {
    return platform::WideToAnsi(text);
}
inline std::wstring ToWide(const std::string& text) {
    return platform::AnsiToWide(text);
}

// Wide paths to the narrow form that download paths travel in and back: UTF-8 on Windows,
// whatever the ANSI code page, so no path is lost or changed on the way; "" on failure.
inline std::string ToNarrowPath(const std::wstring& path) {
    return platform::WideToNarrowPath(path);
}
inline std::wstring ToWidePath(const std::string& path) {
    return platform::NarrowPathToWide(path);
}

// Lower-cases the ASCII letters A to Z and leaves every other character as it is.
std::wstring ToLowerAscii(std::wstring text);

// Compares without regard to the case of ASCII letters, as _wcsicmp does for these texts.
bool EqualsIgnoreCaseAscii(const std::wstring& a, const std::wstring& b);
int CompareIgnoreCaseAscii(const std::wstring& a, const std::wstring& b);

// Whether `text` ends with `suffix`, ASCII letters compared without regard to case.
bool EndsWithIgnoreCaseAscii(const std::wstring& text, const std::wstring& suffix);
