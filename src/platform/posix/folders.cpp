#include "platform/folders.h"

#include "platform/posix/internal.h"

namespace platform {

bool GetRoamingAppDataFolder(std::wstring& folder) {
    std::string path = posix::EnvironmentOr("XDG_DATA_HOME", posix::HomeFolder() + "/.local/share");
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    folder = posix::FromPath(path);
    return !folder.empty();
}

std::wstring GetTempFolder() {
    std::string path = posix::EnvironmentOr("TMPDIR", "/tmp");
    if (path.back() != '/')
        path += '/';
    return posix::FromPath(path);
}

}  // namespace platform
