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
