// Reading a whole file through a descriptor opened close-on-exec, refusing anything but a
// regular file; stdio files and positioned files, opened close-on-exec too, never through a
// symbolic link.
#include "platform/file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <limits>

#include "platform/posix/internal.h"

namespace platform {

namespace {

// The length of the file behind an open descriptor; false when none is open.
bool SizeOfOpenFile(intptr_t handle, uint64_t& size) {
    struct stat info;
    if (handle < 0 || fstat(static_cast<int>(handle), &info) != 0)
        return false;
    size = static_cast<uint64_t>(info.st_size);
    return true;
}

// Opens a regular file for reading from start to end; -1 for anything else.
int OpenForReading(const std::wstring& path, int extraFlags) {
    std::string narrow = posix::ToPath(path);
    if (narrow.empty())
        return -1;
    int fd = posix::OpenRegularFile(narrow, O_RDONLY | extraFlags).Release();
    if (fd >= 0)
        posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    return fd;
}

// Runs one read call again while a signal interrupts it; its count goes to `got`.
template <class ReadCall>
bool CountRead(ReadCall call, size_t& got) {
    for (;;) {
        ssize_t result = call();
        if (result < 0 && errno == EINTR)
            continue;
        if (result < 0)
            return false;
        got = static_cast<size_t>(result);
        return true;
    }
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

bool InputFile::OpenToMove(const std::wstring& path) {
    return OpenWithoutLinks(path);
}

bool InputFile::MoveTo(const std::wstring& to) {
    if (handle_ < 0 || to.empty())
        return false;
    // Linux renames by name only: the file's present name is the one the system knows for the
    // open descriptor. Nothing on Linux relies on the move for its safety.
    char link[64];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", static_cast<int>(handle_));
    char current[4096];
    ssize_t length = readlink(link, current, sizeof current - 1);
    if (length <= 0)
        return false;
    current[length] = '\0';
    std::string target = posix::ToPath(to);
    struct stat existing;
    if (target.empty() || lstat(target.c_str(), &existing) == 0)
        return false;
    return rename(current, target.c_str()) == 0;
}

bool InputFile::GetSize(uint64_t& size) const {
    return SizeOfOpenFile(handle_, size);
}

bool InputFile::Read(void* buffer, size_t capacity, size_t& got) {
    got = 0;
    if (handle_ < 0)
        return false;
    return CountRead([&] { return read(static_cast<int>(handle_), buffer, capacity); }, got);
}

bool InputFile::ReadAt(uint64_t offset, void* buffer, size_t capacity, size_t& got) const {
    got = 0;
    if (handle_ < 0 || offset > static_cast<uint64_t>(std::numeric_limits<off_t>::max()))
        return false;
    return CountRead(
        [&] {
            return pread(static_cast<int>(handle_), buffer, capacity, static_cast<off_t>(offset));
        },
        got);
}

void InputFile::Close() {
    if (handle_ >= 0)
        close(static_cast<int>(handle_));
    handle_ = -1;
}

namespace {

// Opens a download's file with `flags`: never through a link, a link in the place of a file to be
// created being replaced, only a regular file, close-on-exec; -1 on failure.
int OpenDownloadFile(const std::string& narrowPath, int flags) {
    // Downloads are written where a link may have been planted, at the partial file, the
    // destination: a link is never followed, so no write lands in the file it names and no read
    // copies it. A file that is created replaces a link in its place instead. Close-on-exec, so
    // that no installer or launcher started later inherits it; without blocking, so that a FIFO
    // in the way is refused rather than waited on.
    flags |= O_NOFOLLOW;
    posix::Descriptor fd = posix::OpenRegularFile(narrowPath, flags);
    if (!fd.valid() && errno == ELOOP && (flags & O_CREAT) != 0 && unlink(narrowPath.c_str()) == 0)
        fd = posix::OpenRegularFile(narrowPath, flags | O_EXCL);
    return fd.Release();
}

}  // namespace

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
    int fd = OpenDownloadFile(narrowPath, flags);
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

bool PositionedFile::Open(const std::string& narrowPath, bool truncate) {
    Close();
    if (narrowPath.empty())
        return false;
    handle_ = OpenDownloadFile(narrowPath, O_RDWR | O_CREAT | (truncate ? O_TRUNC : 0));
    return handle_ >= 0;
}

bool PositionedFile::Allocate(uint64_t length) {
    if (handle_ < 0 || length > static_cast<uint64_t>(std::numeric_limits<off_t>::max()))
        return false;
    int fd = static_cast<int>(handle_);
    // A file system without allocation (or one that refuses it for this file) gets the length
    // alone; a full disk then shows in the writes.
    if (length > 0 && fallocate(fd, 0, 0, static_cast<off_t>(length)) != 0 &&
        (errno == ENOSPC || errno == EFBIG))
        return false;
    // The allocation never shortens a file that was longer.
    return ftruncate(fd, static_cast<off_t>(length)) == 0;
}

bool PositionedFile::WriteAt(uint64_t offset, const void* data, size_t size) {
    if (handle_ < 0 || (data == nullptr && size > 0))
        return false;
    const char* from = static_cast<const char*>(data);
    while (size > 0) {
        ssize_t written = pwrite(static_cast<int>(handle_), from, size, static_cast<off_t>(offset));
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        from += written;
        size -= static_cast<size_t>(written);
        offset += static_cast<uint64_t>(written);
    }
    return true;
}

bool PositionedFile::Sync() {
    return handle_ >= 0 && fdatasync(static_cast<int>(handle_)) == 0;
}

bool PositionedFile::GetSize(uint64_t& size) const {
    return SizeOfOpenFile(handle_, size);
}

bool PositionedFile::GetAllocatedSize(uint64_t& size) const {
    struct stat info;
    if (handle_ < 0 || fstat(static_cast<int>(handle_), &info) != 0 || info.st_blocks < 0)
        return false;
    size = static_cast<uint64_t>(info.st_blocks) * 512u;  // st_blocks counts 512-byte units
    return true;
}

void PositionedFile::Close() {
    if (handle_ >= 0)
        close(static_cast<int>(handle_));
    handle_ = -1;
}

}  // namespace platform
