#include "platform/folders.h"

#include <windows.h>

#include <shlobj.h>

namespace platform {

bool GetRoamingAppDataFolder(std::wstring& folder) {
    wchar_t buffer[360] = {};
    if (!SHGetSpecialFolderPathW(nullptr, buffer, CSIDL_APPDATA, FALSE))
        return false;
    folder = buffer;
    return true;
}

std::wstring GetTempFolder() {
    wchar_t buffer[MAX_PATH + 1] = {};
    DWORD length = GetTempPathW(MAX_PATH + 1, buffer);
    return length > 0 && length <= MAX_PATH ? std::wstring(buffer, length) : std::wstring();
}

}  // namespace platform
