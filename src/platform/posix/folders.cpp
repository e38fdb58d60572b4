#include "platform/folders.h"

#include <sys/stat.h>
#include <unistd.h>

#include "platform/posix/internal.h"

namespace platform {

bool GetRoamingAppDataFolder(std::wstring& folder) {
    // A relative XDG_DATA_HOME would depend on the working folder; like other programs of the
    // desktop, ignore it.
    std::string path = posix::EnvironmentOr("XDG_DATA_HOME", "");
    if (path.empty() || path[0] != '/')
        path = posix::HomeFolder() + "/.local/share";
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    folder = posix::FromPath(path);
    return !folder.empty();
}

std::wstring GetTempFolder() {
    // Windows gives each user a temporary folder of their own. The shared /tmp is none: another
    // user could plant the files that the updater would then take for its own, so only a folder
    // that belongs to this user and that nobody else may write is one.
    std::string path = posix::EnvironmentOr("TMPDIR", "/tmp");
    struct stat info;
    if (path[0] != '/' || stat(path.c_str(), &info) != 0 || !S_ISDIR(info.st_mode) ||
        info.st_uid != geteuid() || (info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        return std::wstring();
    }
    if (path.back() != '/')
        path += '/';
    return posix::FromPath(path);
}

}  // namespace platform
