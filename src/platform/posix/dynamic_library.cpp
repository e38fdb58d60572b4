#include "platform/dynamic_library.h"

#include <dlfcn.h>

#include "platform/path.h"
#include "platform/posix/internal.h"

namespace platform {

std::wstring LibraryFileName(const std::wstring& baseName) {
    return L"lib" + baseName + L".so";
}

LibraryHandle LoadLibraryFile(const std::wstring& path) {
    return dlopen(posix::ToPath(path).c_str(), RTLD_NOW | RTLD_LOCAL);
}

LibraryHandle FindLoadedLibrary(const std::wstring& fileName) {
    // The program folder: the executable's path cut at its last separator.
    std::wstring program = GetModuleFilePath();
    std::string path = posix::ToPath(program.substr(0, program.rfind(L'/') + 1) + fileName);
    void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
    // RTLD_NOLOAD took a reference of its own; the one of the first load keeps it loaded.
    if (library != nullptr)
        dlclose(library);
    return library;
}

void* FindLibrarySymbol(LibraryHandle library, const char* name) {
    return library != nullptr ? dlsym(library, name) : nullptr;
}

}  // namespace platform
