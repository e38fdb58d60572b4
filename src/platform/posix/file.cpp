// Reading a whole file through a descriptor opened close-on-exec, refusing anything but a
// regular file; stdio files, opened close-on-exec too.
#include "platform/file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "platform/posix/internal.h"

namespace platform {

bool InputFile::Open(const std::wstring& path) {
    Close();
    std::string narrow = posix::ToPath(path);
    if (narrow.empty())
        return false;
    // Without O_NONBLOCK a FIFO at the path would block the open until a writer came.
    int fd = open(narrow.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return false;
    struct stat info;
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        close(fd);
        return false;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    handle_ = fd;
    return true;
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
    // "e" is glibc's close-on-exec flag: no installer or launcher started later inherits it.
    return std::fopen(narrowPath.c_str(), (std::string(mode) + "e").c_str());
}

bool GetStdioFileLength(std::FILE* file, int64_t& length) {
    struct stat info;
    if (file == nullptr || std::fflush(file) != 0 || fstat(fileno(file), &info) != 0)
        return false;
    length = static_cast<int64_t>(info.st_size);
    return true;
}

}  // namespace platform
