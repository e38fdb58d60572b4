#include "platform/dynamic_library.h"

#include <dlfcn.h>

#include "common/program_folder.h"
#include "platform/posix/internal.h"

namespace platform {

std::wstring LibraryFileName(const std::wstring& baseName) {
    return L"lib" + baseName + L".so";
}

LibraryHandle LoadLibraryFile(const std::wstring& path) {
    return dlopen(posix::ToPath(path).c_str(), RTLD_NOW | RTLD_LOCAL);
}

LibraryHandle FindLoadedLibrary(const std::wstring& fileName) {
    std::string path = posix::ToPath(GetProgramFolder() + L"/" + fileName);
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
