#include "platform/dynamic_library.h"

#include <windows.h>

namespace platform {

std::wstring LibraryFileName(const std::wstring& baseName) {
    return baseName + L".dll";
}

LibraryHandle LoadLibraryFile(const std::wstring& path) {
    return LoadLibraryW(path.c_str());
}

LibraryHandle FindLoadedLibrary(const std::wstring& fileName) {
    return GetModuleHandleW(fileName.c_str());
}

void* FindLibrarySymbol(LibraryHandle library, const char* name) {
    if (library == nullptr)
        return nullptr;
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name));
}

}  // namespace platform
