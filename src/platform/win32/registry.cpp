// HKEY_CURRENT_USER through the Windows registry.
#include "platform/registry.h"

#include <windows.h>

#include <shlwapi.h>

#include <algorithm>

namespace platform::registry {
namespace {

// Callers may end key paths with a separator; the registry functions get them without it.
std::wstring SubkeyPath(const std::wstring& key) {
    std::wstring path = key;
    while (!path.empty() && path.back() == L'\\')
        path.pop_back();
    return path;
}

class OpenKey {
  public:
    OpenKey() = default;
    ~OpenKey() {
        if (handle_ != nullptr)
            RegCloseKey(handle_);
    }
    OpenKey(const OpenKey&) = delete;
    OpenKey& operator=(const OpenKey&) = delete;

    bool Open(const std::wstring& key, REGSAM access) {
        return RegOpenKeyExW(HKEY_CURRENT_USER, SubkeyPath(key).c_str(), 0, access, &handle_) ==
               ERROR_SUCCESS;
    }
    bool Create(const std::wstring& key) {
        return RegCreateKeyExW(HKEY_CURRENT_USER, SubkeyPath(key).c_str(), 0, nullptr,
                               REG_OPTION_NON_VOLATILE, KEY_SET_VALUE, nullptr, &handle_,
                               nullptr) == ERROR_SUCCESS;
    }
    HKEY get() const { return handle_; }

  private:
    HKEY handle_ = nullptr;
};

bool SetValue(const std::wstring& key, const std::wstring& name, DWORD type, const void* data,
              DWORD bytes) {
    OpenKey opened;
    return opened.Create(key) &&
           RegSetValueExW(opened.get(), name.c_str(), 0, type, static_cast<const BYTE*>(data),
                          bytes) == ERROR_SUCCESS;
}

}  // namespace

bool ReadString(const std::wstring& key, const std::wstring& name, size_t bufferChars,
                std::wstring& value) {
    // SHGetValueW itself, so that expansion of REG_EXPAND_SZ and its size rules are the system's.
    // Without a buffer it would report the size instead of failing.
    if (bufferChars == 0 || bufferChars > MAXDWORD / sizeof(wchar_t))
        return false;
    std::wstring buffer(bufferChars, L'\0');
    DWORD type = REG_NONE;
    DWORD bytes = static_cast<DWORD>(bufferChars * sizeof(wchar_t));
    if (SHGetValueW(HKEY_CURRENT_USER, SubkeyPath(key).c_str(), name.c_str(), &type, buffer.data(),
                    &bytes) != ERROR_SUCCESS ||
        (type != REG_SZ && type != REG_EXPAND_SZ)) {
        return false;
    }
    buffer.resize(std::min<size_t>(bytes / sizeof(wchar_t), bufferChars));
    value = buffer.substr(0, buffer.find(L'\0'));
    return true;
}

bool ReadDword(const std::wstring& key, const std::wstring& name, uint32_t& value) {
    OpenKey opened;
    DWORD type = REG_NONE;
    DWORD data = 0;
    DWORD bytes = sizeof data;
    if (!opened.Open(key, KEY_QUERY_VALUE) ||
        RegQueryValueExW(opened.get(), name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(&data),
                         &bytes) != ERROR_SUCCESS ||
        type != REG_DWORD || bytes != sizeof data) {
        return false;
    }
    value = data;
    return true;
}

bool WriteString(const std::wstring& key, const std::wstring& name, const std::wstring& value) {
    if (value.size() >= MAXDWORD / sizeof(wchar_t))
        return false;
    return SetValue(key, name, REG_SZ, value.c_str(),
                    static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
}

bool WriteDword(const std::wstring& key, const std::wstring& name, uint32_t value) {
    DWORD data = value;
    return SetValue(key, name, REG_DWORD, &data, sizeof data);
}

bool DeleteValue(const std::wstring& key, const std::wstring& name) {
    OpenKey opened;
    return opened.Open(key, KEY_SET_VALUE) &&
           RegDeleteValueW(opened.get(), name.c_str()) == ERROR_SUCCESS;
}

bool DeleteKeyTree(const std::wstring& key) {
    std::wstring path = SubkeyPath(key);
    // An empty path would empty HKEY_CURRENT_USER itself.
    return !path.empty() && SHDeleteKeyW(HKEY_CURRENT_USER, path.c_str()) == ERROR_SUCCESS;
}

bool KeyExists(const std::wstring& key) {
    OpenKey opened;
    return opened.Open(key, KEY_QUERY_VALUE);
}

bool EnumSubkeys(const std::wstring& key, std::vector<std::wstring>& names) {
    OpenKey opened;
    if (!opened.Open(key, KEY_ENUMERATE_SUB_KEYS))
        return false;
    std::vector<std::wstring> found;
    for (DWORD index = 0;; ++index) {
        wchar_t name[256];  // key names have at most 255 characters
        DWORD chars = ARRAYSIZE(name);
        LONG result =
            RegEnumKeyExW(opened.get(), index, name, &chars, nullptr, nullptr, nullptr, nullptr);
        if (result == ERROR_NO_MORE_ITEMS)
            break;
        if (result != ERROR_SUCCESS)
            return false;
        found.emplace_back(name, chars);
    }
    names = std::move(found);
    return true;
}

}  // namespace platform::registry
