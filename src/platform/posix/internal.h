// Helpers shared by the Linux implementations of the platform seam.
#pragma once

#include <string>

#include "platform/code_page.h"

namespace platform::posix {

// File-system paths are UTF-8 on Linux; bytes that do not decode survive the round trip.
inline std::string ToPath(const std::wstring& path) {
    return WideToAnsi(path);
}
inline std::wstring FromPath(const std::string& path) {
    return AnsiToWide(path);
}

// The value of an environment variable, or `fallback` when it is unset or empty.
std::string EnvironmentOr(const char* name, const std::string& fallback);

// The user's home folder: $HOME, else the password database's entry.
std::string HomeFolder();

}  // namespace platform::posix
