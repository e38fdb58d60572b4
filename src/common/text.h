// Text helpers shared by every room: code-page conversion, and the ASCII case handling of the
// base.
#pragma once

#include <string>

#include "base/ascii.h"
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
