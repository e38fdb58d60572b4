// Named mutexes as lock files: the name exists while any process holds an flock on
// ${XDG_RUNTIME_DIR:-/tmp}/NAME.lock. The creator holds an exclusive lock for as long as its
// handle is open; a process that opens an existing name takes a shared lock when it can, which
// keeps the name in existence after the creator has gone, as a Windows handle would.
#include "platform/named_mutex.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>

#include "platform/posix/internal.h"

namespace platform {

namespace {

struct LockFile {
    int fd;
    bool owned;
};

std::string LockPath(const std::wstring& name) {
    return posix::EnvironmentOr("XDG_RUNTIME_DIR", "/tmp") + "/" + posix::ToPath(name) + ".lock";
}

int OpenLockFile(const std::wstring& name) {
    if (name.empty() || name.find(L'/') != std::wstring::npos)
        return -1;
    return open(LockPath(name).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
}

int Flock(int fd, int operation) {
    int result;
    do {
        result = flock(fd, operation);
    } while (result != 0 && errno == EINTR);
    return result;
}

}  // namespace

MutexHandle CreateNamedMutex(const std::wstring& name, bool initialOwner, bool& alreadyExisted) {
    alreadyExisted = false;
    int fd = OpenLockFile(name);
    if (fd < 0)
        return nullptr;
    if (Flock(fd, LOCK_EX | LOCK_NB) == 0) {
        return new LockFile{fd, initialOwner};
    }
    if (errno != EWOULDBLOCK) {
        close(fd);
        return nullptr;
    }
    alreadyExisted = true;
    // Fails while the creator holds its exclusive lock; the handle is valid all the same.
    Flock(fd, LOCK_SH | LOCK_NB);
    return new LockFile{fd, false};
}

bool ReleaseNamedMutex(MutexHandle mutex) {
    auto* lock = static_cast<LockFile*>(mutex);
    if (lock == nullptr || !lock->owned)
        return false;
    lock->owned = false;
    return true;
}

void CloseNamedMutex(MutexHandle mutex) {
    auto* lock = static_cast<LockFile*>(mutex);
    if (lock == nullptr)
        return;
    close(lock->fd);
    delete lock;
}

bool NamedMutexExists(const std::wstring& name) {
    int fd = OpenLockFile(name);
    if (fd < 0)
        return false;
    bool exists = Flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    close(fd);
    return exists;
}

}  // namespace platform
