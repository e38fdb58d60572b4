// Profile strings through the system's own INI functions.
#include "platform/profile.h"

#include <windows.h>

#include <vector>

namespace platform {

bool WriteIniString(const std::wstring& file, const std::wstring& section, const std::wstring& key,
                    const std::wstring& value) {
    return WritePrivateProfileStringW(section.c_str(), key.c_str(), value.c_str(), file.c_str()) !=
           FALSE;
}

std::wstring ReadIniString(const std::wstring& file, const std::wstring& section,
                           const std::wstring& key, const std::wstring& defaultValue,
                           size_t bufferChars) {
    if (bufferChars == 0)
        return std::wstring();
    DWORD size = bufferChars > MAXDWORD ? MAXDWORD : static_cast<DWORD>(bufferChars);
    std::vector<wchar_t> buffer(size, L'\0');
    DWORD length = GetPrivateProfileStringW(section.c_str(), key.c_str(), defaultValue.c_str(),
                                            buffer.data(), size, file.c_str());
    return std::wstring(buffer.data(), length < size ? length : size - 1);
}

}  // namespace platform
