// The few kernel32 functions and constants the stand-in libraries use. They are built like the
// maker's libraries, by a compiler of Microsoft's binary interface without a C runtime or the
// system headers, so they declare what they import themselves.
#pragma once

#include <stddef.h>

extern "C" {
using HANDLE = void*;
struct SRWLOCK {
    void* ptr;
};

#define KERNEL32_API __declspec(dllimport)
KERNEL32_API void __stdcall AcquireSRWLockExclusive(SRWLOCK* lock);
KERNEL32_API void __stdcall ReleaseSRWLockExclusive(SRWLOCK* lock);
KERNEL32_API int __stdcall CloseHandle(HANDLE handle);
KERNEL32_API HANDLE __stdcall CreateFileW(const wchar_t* name, unsigned long access,
                                          unsigned long share, void* security,
                                          unsigned long disposition, unsigned long flags,
                                          HANDLE templateFile);
KERNEL32_API unsigned long __stdcall GetModuleFileNameW(void* module, wchar_t* name,
                                                        unsigned long size);
KERNEL32_API HANDLE __stdcall GetProcessHeap();
KERNEL32_API void* __stdcall HeapAlloc(HANDLE heap, unsigned long flags, size_t bytes);
KERNEL32_API int __stdcall HeapFree(HANDLE heap, unsigned long flags, void* memory);
KERNEL32_API int __stdcall WideCharToMultiByte(unsigned codePage, unsigned long flags,
                                               const wchar_t* text, int length, char* out,
                                               int outSize, const char* defaultChar,
                                               int* usedDefault);
KERNEL32_API int __stdcall WriteFile(HANDLE file, const void* data, unsigned long size,
                                     unsigned long* written, void* overlapped);
#undef KERNEL32_API
}

namespace kernel32 {

constexpr unsigned long kAppendData = 0x0004;  // FILE_APPEND_DATA
constexpr unsigned long kShareAll = 0x0007;    // read, write and delete
constexpr unsigned long kOpenAlways = 4;       // OPEN_ALWAYS
constexpr unsigned long kNormalFile = 0x80;    // FILE_ATTRIBUTE_NORMAL
constexpr unsigned kUtf8 = 65001;              // CP_UTF8
const HANDLE kInvalidHandle = reinterpret_cast<HANDLE>(-1);

// Appends `size` bytes to the file at `path`, creating it when its folder exists.
inline void AppendToFile(const wchar_t* path, const char* data, unsigned long size) {
    HANDLE file =
        CreateFileW(path, kAppendData, kShareAll, nullptr, kOpenAlways, kNormalFile, nullptr);
    if (file == kInvalidHandle)
        return;
    unsigned long written = 0;
    WriteFile(file, data, size, &written, nullptr);
    CloseHandle(file);
}

}  // namespace kernel32
