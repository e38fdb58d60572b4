// Helpers shared by the Linux implementations of the platform seam.
#pragma once

#include <sys/stat.h>

#include <optional>
#include <string>
#include <string_view>

#include "platform/code_page.h"

namespace platform::posix {

// One version of a file, for a file kept parsed while it is unchanged: a replacement has another
// inode, an edit in place another size or modification time.
struct FileVersion {
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = -1;
    timespec modified{};

    FileVersion() = default;
    explicit FileVersion(const struct stat& info)
        : device(info.st_dev), inode(info.st_ino), size(info.st_size), modified(info.st_mtim) {}
    bool operator==(const FileVersion& other) const {
        return device == other.device && inode == other.inode && size == other.size &&
               modified.tv_sec == other.modified.tv_sec &&
               modified.tv_nsec == other.modified.tv_nsec;
    }
};

// File-system paths are UTF-8 on Linux; bytes that do not decode survive the round trip.
inline std::string ToPath(const std::wstring& path) {
    return WideToAnsi(path);
}
inline std::wstring FromPath(const std::string& path) {
    return AnsiToWide(path);
}

// The value of an environment variable, or `fallback` when it is unset or empty.
std::string EnvironmentOr(const char* name, const std::string& fallback);

// The user's home folder: $HOME, else the password database's entry.
std::string HomeFolder();

// An owned file descriptor, closed when it goes.
class Descriptor {
  public:
    explicit Descriptor(int fd = -1) : fd_(fd) {}
    ~Descriptor();
    Descriptor(Descriptor&& other) noexcept : fd_(other.Release()) {}
    Descriptor& operator=(Descriptor&& other) noexcept;
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    // Hands the descriptor to the caller, who closes it.
    int Release();
    // Closes now, reporting the error a delayed write may surface there.
    bool Close();

  private:
    int fd_;
};

// Opens `path` with `flags`, close-on-exec, and keeps it only when it is a regular file: a
// folder or a FIFO is refused (errno EINVAL), and since the open does not block, a FIFO is
// refused rather than waited on. Add O_NOFOLLOW to refuse a symbolic link. `info`, when given,
// receives the file's status. An invalid descriptor, with errno set, on failure.
Descriptor OpenRegularFile(const std::string& path, int flags, mode_t mode = 0666,
                           struct stat* info = nullptr);

// Reads from `fd` to its end into `bytes`, retrying interrupted reads.
bool ReadAll(int fd, std::string& bytes);
// Writes the whole of `bytes`, retrying interrupted and short writes.
bool WriteAll(int fd, std::string_view bytes);

// The folder of a path: "." for a bare name, "/" for a name in the root.
std::string FolderOf(const std::string& path);

enum class ReplaceFailure { kNone, kWrite, kRename };

// Replaces `path` atomically with `bytes` through `temporary`, a new file beside it that the
// caller created and hands in open as `fd`: the bytes are written with the permissions `mode`
// (when given) and flushed to the disk before the file takes the name, and the folder is then
// flushed so that the new name survives a crash (a folder that cannot be flushed fails nothing,
// the file being in place). `written`, when given, receives the new file's status. On failure
// the temporary file is removed and errno tells why.
ReplaceFailure ReplaceWithNewFile(Descriptor fd, const std::string& temporary,
                                  const std::string& path, std::string_view bytes,
                                  std::optional<mode_t> mode, struct stat* written = nullptr);

}  // namespace platform::posix
