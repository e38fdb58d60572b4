// Conversions in the system's ANSI code page, and of paths in UTF-8.
#include "platform/code_page.h"

#include <windows.h>

namespace platform {

std::string WideToAnsi(const std::wstring& text) {
    if (text.empty())
        return std::string();
    int size = WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr,
                                   0, nullptr, nullptr);
    if (size <= 0)
        return std::string();
    std::string out(static_cast<size_t>(size), '\0');
    if (WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()), out.data(), size,
                            nullptr, nullptr) != size) {
        return std::string();
    }
    return out;
}

std::wstring AnsiToWide(const std::string& text) {
    if (text.empty())
        return std::wstring();
    int size =
        MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    if (size <= 0)
        return std::wstring();
    std::wstring out(static_cast<size_t>(size), L'\0');
    if (MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), out.data(),
                            size) != size) {
        return std::wstring();
    }
    return out;
}

std::string WideToNarrowPath(const std::wstring& path) {
    if (path.empty())
        return std::string();
    int size = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, path.data(),
                                   static_cast<int>(path.size()), nullptr, 0, nullptr, nullptr);
    if (size <= 0)
        return std::string();
    std::string out(static_cast<size_t>(size), '\0');
    if (WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, path.data(),
                            static_cast<int>(path.size()), out.data(), size, nullptr,
                            nullptr) != size) {
        return std::string();
    }
    return out;
}

std::wstring NarrowPathToWide(const std::string& path) {
    if (path.empty())
        return std::wstring();
    int size = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path.data(),
                                   static_cast<int>(path.size()), nullptr, 0);
    if (size <= 0)
        return std::wstring();
    std::wstring out(static_cast<size_t>(size), L'\0');
    if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path.data(),
                            static_cast<int>(path.size()), out.data(), size) != size) {
        return std::wstring();
    }
    return out;
}

}  // namespace platform
