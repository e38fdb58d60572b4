#include "common/client_settings.h"

#include "platform/path.h"
#include "platform/registry.h"

bool ReadStartupAppId(std::wstring& appid) {
    return platform::registry::ReadString(kClientKey, kStartupAppIdValue, kStartupAppIdChars,
                                          appid);
}

void DeleteStartupAppId() {
    platform::registry::DeleteValue(kClientKey, kStartupAppIdValue);
}

std::wstring WithNativeSeparators(std::wstring path) {
    for (wchar_t& c : path) {
        if (c == L'\\')
            c = platform::kPathSeparator;
    }
    return path;
}
