// A library that stands in for one an attacker plants beside an installer: when a program loads
// it, it creates the file named by the environment variable PALLATON_PLANTED_MARKER, so that a
// test can tell whether it was ever loaded. Copies take the name of the library to stand in for
// (version.dll).
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        wchar_t path[MAX_PATH];
        DWORD length = GetEnvironmentVariableW(L"PALLATON_PLANTED_MARKER", path, MAX_PATH);
        if (length > 0 && length < MAX_PATH) {
            HANDLE marker = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                        FILE_ATTRIBUTE_NORMAL, nullptr);
            if (marker != INVALID_HANDLE_VALUE)
                CloseHandle(marker);
        }
    }
    return TRUE;
}
