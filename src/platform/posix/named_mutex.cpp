// Named mutexes as lock files: the name exists while any process holds an flock on NAME.lock in
// ${XDG_RUNTIME_DIR}, or without it in a folder of the user's own, ${TMPDIR:-/tmp}/pallaton-UID
// (named mutexes belong to one user's session, as on Windows). Every open handle, the creator's
// and each opener's, holds a shared lock, so the name exists until the last handle closes; a
// name exists when an exclusive try-lock fails. Creating and probing a name are serialised
// between processes by a short exclusive lock on NAME.gate beside it.
#include "platform/named_mutex.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/posix/internal.h"

namespace platform {

namespace {

struct LockFile {
    int fd;
    bool owned;
};

// The folder of the lock files; false when the private folder cannot be had safely: it must be
// a real folder (not a link) owned by the user that nobody else may write to.
bool LockFolder(std::string& folder) {
    folder = posix::EnvironmentOr("XDG_RUNTIME_DIR", "");
    if (!folder.empty())
        return true;
    folder = posix::EnvironmentOr("TMPDIR", "/tmp") + "/pallaton-" + std::to_string(getuid());
    if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST)
        return false;
    struct stat status;
    return lstat(folder.c_str(), &status) == 0 && S_ISDIR(status.st_mode) &&
           status.st_uid == getuid() && (status.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

int OpenFile(const std::wstring& name, const char* suffix) {
    std::string folder;
    if (name.empty() || name.find(L'/') != std::wstring::npos || !LockFolder(folder))
        return -1;
    std::string path = folder + "/" + posix::ToPath(name) + suffix;
    return open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
}

int Flock(int fd, int operation) {
    int result;
    do {
        result = flock(fd, operation);
    } while (result != 0 && errno == EINTR);
    return result;
}

// Holds the name's gate for its lifetime: the check whether the name exists and the lock taken
// after it are one step for every other process.
class Gate {
  public:
    explicit Gate(const std::wstring& name) : fd_(OpenFile(name, ".gate")) {
        if (fd_ >= 0 && Flock(fd_, LOCK_EX) != 0) {
            close(fd_);
            fd_ = -1;
        }
    }
    ~Gate() {
        if (fd_ >= 0)
            close(fd_);
    }
    Gate(const Gate&) = delete;
    Gate& operator=(const Gate&) = delete;
    bool held() const { return fd_ >= 0; }

  private:
    int fd_;
};

// Whether another descriptor holds a lock on the file of `fd`. With `keepShared`, `fd` itself
// holds a shared lock afterwards (when it could get one).
bool HeldElsewhere(int fd, bool keepShared, bool& failed) {
    failed = false;
    if (Flock(fd, LOCK_EX | LOCK_NB) == 0) {
        if (keepShared)
            failed = Flock(fd, LOCK_SH) != 0;
        return false;
    }
    if (errno != EWOULDBLOCK) {
        failed = true;
        return false;
    }
    // Every holder keeps a shared lock, so this one is granted.
    if (keepShared)
        Flock(fd, LOCK_SH | LOCK_NB);
    return true;
}

}  // namespace

MutexHandle CreateNamedMutex(const std::wstring& name, bool initialOwner, bool& alreadyExisted) {
    alreadyExisted = false;
    Gate gate(name);
    if (!gate.held())
        return nullptr;
    int fd = OpenFile(name, ".lock");
    if (fd < 0)
        return nullptr;
    bool failed = false;
    alreadyExisted = HeldElsewhere(fd, true, failed);
    if (failed) {
        close(fd);
        return nullptr;
    }
    return new LockFile{fd, initialOwner && !alreadyExisted};
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
    Gate gate(name);
    if (!gate.held())
        return false;
    int fd = OpenFile(name, ".lock");
    if (fd < 0)
        return false;
    bool failed = false;
    bool exists = HeldElsewhere(fd, false, failed);
    close(fd);
    return exists;
}

}  // namespace platform
