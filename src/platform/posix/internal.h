// Helpers shared by the Linux implementations of the platform seam.
#pragma once

#include <sys/stat.h>

#include <string>

#include "platform/code_page.h"

namespace platform::posix {

// One version of a file, for a file kept parsed while it is unchanged: a replacement has another
// inode, an edit in place another size or modification time.
struct FileVersion {
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = -1;
    timespec modified{};

    FileVersion() = default;
    explicit FileVersion(const struct stat& info)
        : device(info.st_dev), inode(info.st_ino), size(info.st_size), modified(info.st_mtim) {}
    bool operator==(const FileVersion& other) const {
        return device == other.device && inode == other.inode && size == other.size &&
               modified.tv_sec == other.modified.tv_sec &&
               modified.tv_nsec == other.modified.tv_nsec;
    }
};

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
