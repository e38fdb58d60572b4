// Reading a whole file through a descriptor opened close-on-exec, refusing anything but a
// regular file; stdio files, opened close-on-exec too, never through a symbolic link.
#include "platform/file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "platform/posix/internal.h"

namespace platform {

namespace {

// Files are opened without blocking, so that a FIFO in the way is refused rather than waited on.
// Keeps the descriptor when it is a regular file, and makes it blocking again; closes it and
// gives -1 otherwise.
int KeepOnlyRegularFile(int fd) {
    if (fd < 0)
        return -1;
    struct stat info;
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        close(fd);
        return -1;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

// Opens a regular file for reading from start to end; -1 for anything else.
int OpenForReading(const std::wstring& path, int extraFlags) {
    std::string narrow = posix::ToPath(path);
    if (narrow.empty())
        return -1;
    // Without O_NONBLOCK a FIFO at the path would block the open until a writer came.
    int fd =
        KeepOnlyRegularFile(open(narrow.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | extraFlags));
    if (fd >= 0)
        posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    return fd;
}

}  // namespace

bool InputFile::Open(const std::wstring& path) {
    Close();
    handle_ = OpenForReading(path, 0);
    return handle_ >= 0;
}

bool InputFile::OpenWithoutLinks(const std::wstring& path) {
    Close();
    handle_ = OpenForReading(path, O_NOFOLLOW);
    return handle_ >= 0;
}

bool InputFile::GetSize(uint64_t& size) const {
    struct stat info;
    if (handle_ < 0 || fstat(static_cast<int>(handle_), &info) != 0)
        return false;
    size = static_cast<uint64_t>(info.st_size);
    return true;
}

bool InputFile::Read(void* buffer, size_t capacity, size_t& got) {
    got = 0;
    if (handle_ < 0)
        return false;
    for (;;) {
        ssize_t result = read(static_cast<int>(handle_), buffer, capacity);
        if (result < 0 && errno == EINTR)
            continue;
        if (result < 0)
            return false;
        got = static_cast<size_t>(result);
        return true;
    }
}

void InputFile::Close() {
    if (handle_ >= 0)
        close(static_cast<int>(handle_));
    handle_ = -1;
}

std::FILE* OpenStdioFile(const std::string& narrowPath, const char* mode) {
    if (narrowPath.empty() || mode == nullptr)
        return nullptr;
    bool update = std::string(mode).find('+') != std::string::npos;
    int flags = update ? O_RDWR : O_WRONLY;
    switch (mode[0]) {
        case 'r':
            flags = update ? O_RDWR : O_RDONLY;
            break;
        case 'w':
            flags |= O_CREAT | O_TRUNC;
            break;
        case 'a':
            flags |= O_CREAT | O_APPEND;
            break;
        default:
            return nullptr;
    }
    // Downloads are written where a link may have been planted, at a piece, the destination:
    // a link is never followed, so no write lands in the file it names and no read copies it.
    // A file that is created replaces a link in its place instead. Close-on-exec, so that no
    // installer or launcher started later inherits it; without blocking, so that a FIFO in the
    // way is refused rather than waited on.
    flags |= O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK;
    int fd = open(narrowPath.c_str(), flags, 0666);
    if (fd < 0 && errno == ELOOP && (flags & O_CREAT) != 0 && unlink(narrowPath.c_str()) == 0)
        fd = open(narrowPath.c_str(), flags | O_EXCL, 0666);
    fd = KeepOnlyRegularFile(fd);
    if (fd < 0)
        return nullptr;
    std::FILE* file = fdopen(fd, mode);
    if (file == nullptr)
        close(fd);
    return file;
}

bool GetStdioFileLength(std::FILE* file, int64_t& length) {
    struct stat info;
    if (file == nullptr || std::fflush(file) != 0 || fstat(fileno(file), &info) != 0)
        return false;
    length = static_cast<int64_t>(info.st_size);
    return true;
}

bool SyncStdioFile(std::FILE* file) {
    return file != nullptr && std::fflush(file) == 0 && fdatasync(fileno(file)) == 0;
}

}  // namespace platform
