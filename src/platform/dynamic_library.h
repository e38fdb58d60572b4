// Libraries loaded at run time from the program folder.
#pragma once

#include <string>

namespace platform {

using LibraryHandle = void*;

// The file name of a library with the given base name: "Log" gives "Log.dll" on Windows and
// "libLog.so" on Linux.
std::wstring LibraryFileName(const std::wstring& baseName);

LibraryHandle LoadLibraryFile(const std::wstring& path);

// The library of that file name if this process has already loaded it from the program folder,
// without loading it; null otherwise.
LibraryHandle FindLoadedLibrary(const std::wstring& fileName);

void* FindLibrarySymbol(LibraryHandle library, const char* name);

}  // namespace platform
