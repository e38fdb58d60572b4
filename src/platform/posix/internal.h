// Helpers shared by the Linux implementations of the platform seam.
#pragma once

#include <string>

#include "base/utf8.h"
#include "platform/code_page.h"

namespace platform::posix {

// File-system paths are UTF-8 on Linux. A path that does not decode gives an empty text rather
// than one with replacement characters, which would name another file.
inline std::string ToPath(const std::wstring& path) {
    return WideToAnsi(path);
}
inline std::wstring FromPath(const std::string& path) {
    std::wstring out;
    return utf8::Decode(path, out) ? out : std::wstring();
}

// The value of an environment variable, or `fallback` when it is unset or empty.
std::string EnvironmentOr(const char* name, const std::string& fallback);

// The user's home folder: $HOME, else the password database's entry.
std::string HomeFolder();

}  // namespace platform::posix
