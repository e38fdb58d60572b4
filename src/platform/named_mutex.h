// System-wide named mutexes, used only for their existence: nobody waits on them.
// Linux: the name exists while any open handle holds an flock on NAME.lock in ${XDG_RUNTIME_DIR},
// or without it in the user's own folder ${TMPDIR:-/tmp}/pallaton-UID (created 0700).
#pragma once

#include <string>

namespace platform {

using MutexHandle = void*;

// Creates the mutex or opens the existing one. `alreadyExisted` tells which (the
// ERROR_ALREADY_EXISTS case). Initial ownership is granted only to the creator. A null handle
// means the create failed altogether.
MutexHandle CreateNamedMutex(const std::wstring& name, bool initialOwner, bool& alreadyExisted);

// Gives up ownership; the mutex keeps existing while the handle is open.
bool ReleaseNamedMutex(MutexHandle mutex);

// Closes the handle; a null handle is ignored.
void CloseNamedMutex(MutexHandle mutex);

// Whether some process keeps the named mutex in existence (tests and tools).
bool NamedMutexExists(const std::wstring& name);

}  // namespace platform
