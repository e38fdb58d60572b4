#include "platform/posix/internal.h"

#include <fcntl.h>
#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace platform::posix {

std::string EnvironmentOr(const char* name, const std::string& fallback) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0' ? std::string(value) : fallback;
}

std::string HomeFolder() {
    std::string home = EnvironmentOr("HOME", "");
    if (!home.empty())
        return home;
    const passwd* entry = getpwuid(getuid());
    return entry != nullptr && entry->pw_dir != nullptr ? std::string(entry->pw_dir) : "/";
}

Descriptor::~Descriptor() {
    if (fd_ >= 0)
        close(fd_);
}

Descriptor& Descriptor::operator=(Descriptor&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0)
            close(fd_);
        fd_ = other.Release();
    }
    return *this;
}

int Descriptor::Release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
}

bool Descriptor::Close() {
    int fd = Release();
    return fd >= 0 && close(fd) == 0;
}

Descriptor OpenRegularFile(const std::string& path, int flags, mode_t mode, struct stat* info) {
    Descriptor fd(open(path.c_str(), flags | O_CLOEXEC | O_NONBLOCK, mode));
    if (!fd.valid())
        return fd;
    struct stat status {};
    if (fstat(fd.get(), &status) != 0)
        return Descriptor();
    if (!S_ISREG(status.st_mode)) {
        errno = EINVAL;
        return Descriptor();
    }
    if ((flags & O_NONBLOCK) == 0)
        fcntl(fd.get(), F_SETFL, fcntl(fd.get(), F_GETFL) & ~O_NONBLOCK);
    if (info != nullptr)
        *info = status;
    return fd;
}

bool ReadAll(int fd, std::string& bytes) {
    bytes.clear();
    char buffer[16384];
    for (;;) {
        ssize_t got = read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return false;
        if (got == 0)
            return true;
        bytes.append(buffer, static_cast<size_t>(got));
    }
}

bool WriteAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        ssize_t put = write(fd, bytes.data(), bytes.size());
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0)
            return false;
        bytes.remove_prefix(static_cast<size_t>(put));
    }
    return true;
}

std::string FolderOf(const std::string& path) {
    size_t cut = path.rfind('/');
    if (cut == std::string::npos)
        return ".";
    return cut == 0 ? "/" : path.substr(0, cut);
}

ReplaceFailure ReplaceWithNewFile(Descriptor fd, const std::string& temporary,
                                  const std::string& path, std::string_view bytes,
                                  std::optional<mode_t> mode, struct stat* written) {
    struct stat status {};
    bool stored = fd.valid() && (!mode || fchmod(fd.get(), *mode) == 0) &&
                  WriteAll(fd.get(), bytes) && fsync(fd.get()) == 0 &&
                  fstat(fd.get(), &status) == 0 && fd.Close();
    ReplaceFailure failure = ReplaceFailure::kNone;
    if (!stored)
        failure = ReplaceFailure::kWrite;
    else if (rename(temporary.c_str(), path.c_str()) != 0)
        failure = ReplaceFailure::kRename;
    if (failure != ReplaceFailure::kNone) {
        int reason = errno;
        fd.Close();
        unlink(temporary.c_str());
        errno = reason;
        return failure;
    }
    if (written != nullptr)
        *written = status;
    Descriptor folder(open(FolderOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (folder.valid())
        fsync(folder.get());
    return ReplaceFailure::kNone;
}

}  // namespace platform::posix
