#include "platform/named_mutex.h"

#include <windows.h>

namespace platform {

MutexHandle CreateNamedMutex(const std::wstring& name, bool initialOwner, bool& alreadyExisted) {
    HANDLE mutex = CreateMutexW(nullptr, initialOwner ? TRUE : FALSE, name.c_str());
    alreadyExisted = GetLastError() == ERROR_ALREADY_EXISTS;
    return mutex;
}

bool ReleaseNamedMutex(MutexHandle mutex) {
    return ReleaseMutex(mutex) != FALSE;
}

void CloseNamedMutex(MutexHandle mutex) {
    if (mutex != nullptr)
        CloseHandle(mutex);
}

bool NamedMutexExists(const std::wstring& name) {
    HANDLE mutex = OpenMutexW(SYNCHRONIZE, FALSE, name.c_str());
    if (mutex == nullptr)
        return false;
    CloseHandle(mutex);
    return true;
}

}  // namespace platform
