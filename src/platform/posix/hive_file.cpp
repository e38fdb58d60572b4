// The hive file of HKEY_CURRENT_USER on Linux, ${XDG_CONFIG_HOME:-$HOME/.config}/Korvane/
// HKEY_CURRENT_USER.reg: every access holds an flock on HKEY_CURRENT_USER.reg.lock beside it, a
// file that is never replaced: shared to read, exclusive to change. A change reads the file,
// applies itself and replaces the file through a temporary file, fsync and rename, so that
// concurrent changes from several processes all land and a crash never leaves a truncated hive.
// A file that cannot be parsed is never overwritten: reads and changes fail until someone
// repairs it.
#include "platform/posix/hive_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "base/utf8.h"
#include "platform/debug_output.h"
#include "platform/posix/internal.h"

namespace platform::posix::hive_file {
namespace {

using reg_text::FormatHive;
using reg_text::Hive;
using reg_text::ParseHive;

constexpr char kFileName[] = "HKEY_CURRENT_USER.reg";

std::string HiveFolder() {
    return posix::EnvironmentOr("XDG_CONFIG_HOME", posix::HomeFolder() + "/.config") + "/Korvane";
}

bool CreateFolders(const std::string& folder) {
    for (size_t slash = folder.find('/', 1);; slash = folder.find('/', slash + 1)) {
        std::string part = folder.substr(0, slash);
        if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST)
            return false;
        if (slash == std::string::npos)
            return true;
    }
}

// One version of the hive file: a replacement has another inode, an edit in place (by hand, say)
// another size or modification time.
struct HiveVersion {
    std::string path;
    posix::FileVersion file;

    HiveVersion() = default;
    HiveVersion(const std::string& hivePath, const struct stat& info)
        : path(hivePath), file(info) {}
    bool operator==(const HiveVersion& other) const {
        return path == other.path && file == other.file;
    }
};

// A hive that cannot be parsed stays refused until someone repairs it, and every access fails
// meanwhile: say why once per version of the file rather than on each access.
void ReportRefusedHive(const HiveVersion& version, const std::wstring& why) {
    static std::mutex mutex;
    static HiveVersion reported;
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (version == reported)
            return;
        reported = version;
    }
    WriteDebugOutput(L"Registry: " + posix::FromPath(version.path) +
                     L" is not a hive and is neither read nor changed (" + why + L")");
}

// A change that does not land is a fault the caller only sees as false: say what failed, with
// errno's reason.
bool ReportWriteFailure(const std::string& what, const std::string& path) {
    std::string reason = std::strerror(errno);
    WriteDebugOutput(L"Registry: the change is lost: cannot " + posix::FromPath(what) + L" " +
                     posix::FromPath(path) + L" (" + posix::FromPath(reason) + L")");
    return false;
}

// The hive parsed last and the version of the file it came from. Each access checks the file's
// version under the lock and parses it again only when it changed, so that reading many values
// (every application's key, say) does not parse the whole file for each of them.
struct ParsedHive {
    HiveVersion version;  // default: no file parsed yet, or none there
    bool parsed = false;  // false with a version: that version was refused
    Hive hive;
};

// Guards the parsed hive between the threads of this process; the flock orders processes.
std::mutex& ParsedHiveMutex() {
    static std::mutex mutex;
    return mutex;
}
ParsedHive& LastParsedHive() {
    static ParsedHive last;
    return last;
}

// Points `hive` at the parsed hive of `file`, a missing file being an empty hive. `mode` receives
// the file's permissions. The caller holds ParsedHiveMutex().
bool LoadHive(const std::string& file, Hive*& hive, mode_t& mode) {
    ParsedHive& last = LastParsedHive();
    // Opened without blocking: a FIFO planted at the path must not wait for a writer forever,
    // while the caller holds the lock (and perhaps the update mutex). Only a regular file is a
    // hive.
    struct stat info {};
    Descriptor fd = OpenRegularFile(file, O_RDONLY, 0, &info);
    if (!fd.valid()) {
        if (errno != ENOENT)
            return false;
        last = ParsedHive();
        last.parsed = true;
        hive = &last.hive;
        return true;
    }
    mode = info.st_mode & 07777;
    HiveVersion version(file, info);
    if (!(version == last.version)) {
        std::string bytes;
        if (!ReadAll(fd.get(), bytes))
            return false;
        std::wstring why;
        last.version = version;
        last.parsed = ParseHive(bytes, last.hive, &why);
        if (!last.parsed) {
            last.hive.clear();
            ReportRefusedHive(version, why);
        }
    }
    hive = &last.hive;
    return last.parsed;
}

// Where a symbolic link at the hive's path leads (a hive kept elsewhere, say with the user's other
// settings): a change replaces that file so that the link stays a link. A loop is left as it is;
// opening it fails, so no change gets this far.
std::string FollowLinks(std::string path) {
    for (int depth = 0; depth < 40; ++depth) {
        struct stat info {};
        if (lstat(path.c_str(), &info) != 0 || !S_ISLNK(info.st_mode))
            return path;
        std::string target(static_cast<size_t>(info.st_size > 0 ? info.st_size : 4096) + 1, '\0');
        ssize_t length = readlink(path.c_str(), target.data(), target.size());
        if (length <= 0 || static_cast<size_t>(length) >= target.size())
            return path;
        target.resize(static_cast<size_t>(length));
        if (target[0] != '/')
            target = path.substr(0, path.rfind('/') + 1) + target;
        path = std::move(target);
    }
    return path;
}

// Replaces the file atomically; the caller holds the exclusive lock, so the temporary name is
// ours alone. `status` receives the new file's status.
bool StoreHive(const std::string& file, const Hive& hive, mode_t mode, struct stat& status) {
    std::string bytes;
    if (!utf8::Encode(FormatHive(hive), bytes)) {
        errno = EILSEQ;
        return ReportWriteFailure("encode", file);
    }
    std::string temporary = file + ".tmp";
    unlink(temporary.c_str());  // left behind by a writer that crashed
    Descriptor fd(open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode));
    if (!fd.valid())
        return ReportWriteFailure("create", temporary);
    switch (ReplaceWithNewFile(std::move(fd), temporary, file, bytes, mode, &status)) {
        case ReplaceFailure::kNone:
            return true;
        case ReplaceFailure::kWrite:
            return ReportWriteFailure("write", temporary);
        case ReplaceFailure::kRename:
            break;
    }
    return ReportWriteFailure("rename to the hive", temporary);
}

// Runs `apply` on the hive under the lock. With `change`, the hive that `apply` leaves is
// written back when it returns true; when it returns false the file is not touched.
bool AccessHive(bool change, const std::function<bool(Hive&)>& apply) {
    std::string folder = HiveFolder();
    std::string file = folder + "/" + kFileName;
    std::string lockFile = file + ".lock";
    if (change && !CreateFolders(folder))
        return ReportWriteFailure("create the folder", folder);

    // O_NONBLOCK: a FIFO at the lock's path must not block either; flock ignores the flag.
    int lockFd = open(lockFile.c_str(), O_RDWR | O_CREAT | O_NONBLOCK | O_CLOEXEC, 0600);
    if (lockFd < 0 && !change) {
        if (errno == ENOENT) {
            // No folder, so no hive: reading creates neither.
            Hive empty;
            return apply(empty);
        }
        // A folder we may not write in: a shared lock works on a read-only descriptor too.
        lockFd = open(lockFile.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    }
    // Nor can a lock file be created there, so no one changes the hive through the lock: read
    // without it. Changes replace the file by rename, so even then the whole of one version is
    // read.
    bool unlocked = lockFd < 0 && !change && errno == ENOENT;
    Descriptor lock(lockFd);
    if (!lock.valid() && !unlocked)
        return change && ReportWriteFailure("open the lock file", lockFile);
    while (!unlocked && flock(lock.get(), change ? LOCK_EX : LOCK_SH) != 0) {
        if (errno != EINTR)
            return change && ReportWriteFailure("lock", lockFile);
    }

    std::lock_guard<std::mutex> guard(ParsedHiveMutex());
    Hive* hive = nullptr;
    mode_t mode = 0600;
    if (!LoadHive(file, hive, mode))
        return false;
    if (!change)
        return apply(*hive);
    // The parsed hive keeps matching the file: a change applies to a copy, which replaces it
    // only once the new file is in place.
    Hive changed = *hive;
    if (!apply(changed))
        return false;
    std::string target = FollowLinks(file);
    struct stat written {};
    if (!StoreHive(target, changed, mode, written))
        return false;
    ParsedHive& last = LastParsedHive();
    last.version = HiveVersion(file, written);
    last.parsed = true;
    last.hive = std::move(changed);
    return true;
}

}  // namespace

bool ReadHive(const std::function<bool(Hive&)>& apply) {
    return AccessHive(false, apply);
}
bool ChangeHive(const std::function<bool(Hive&)>& apply) {
    return AccessHive(true, apply);
}

}  // namespace platform::posix::hive_file
