// Profile strings on Linux: UTF-8 INI files read whole and replaced whole. A write goes to a
// new file beside the old one, reaches the disk, and only then takes the old one's name, so a
// reader or a crash never sees a half-written record. The file read last is kept parsed while
// it stays as it was, so that reading a record value by value parses it once.
#include "platform/profile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>

#include "platform/code_page.h"
#include "platform/posix/internal.h"
#include "platform/posix/profile_text.h"

namespace platform {

namespace {

enum class ReadResult { kRead, kMissing, kFailed };

// Opens a regular file for reading; `info` receives its status. Anything but a regular file (a
// folder, a FIFO that would block) is not a profile.
posix::Descriptor OpenProfile(const std::string& path, int extraFlags, struct stat& info,
                              ReadResult& result) {
    posix::Descriptor fd = posix::OpenRegularFile(path, O_RDONLY | extraFlags, 0, &info);
    if (fd.valid())
        result = ReadResult::kRead;
    else
        result = errno == ENOENT ? ReadResult::kMissing : ReadResult::kFailed;
    return fd;
}

// `mode`, when given, receives the file's permissions.
ReadResult ReadWholeFile(const std::string& path, std::string& content, int extraFlags = 0,
                         mode_t* mode = nullptr) {
    content.clear();
    struct stat info;
    ReadResult result;
    posix::Descriptor fd = OpenProfile(path, extraFlags, info, result);
    if (!fd.valid())
        return result;
    if (mode != nullptr)
        *mode = info.st_mode & 07777;
    return posix::ReadAll(fd.get(), content) ? ReadResult::kRead : ReadResult::kFailed;
}

using posix::FileVersion;

// Whether the file may still be changed without its version showing it: an edit in place that
// keeps the size and falls within the clock tick of the file's modification time (or within
// its second, where the file system keeps whole seconds) leaves that time as it is. Such a file
// is not kept parsed until it is older.
bool MayChangeUnseen(const FileVersion& version) {
    timespec now{};
    if (clock_gettime(CLOCK_REALTIME, &now) != 0)
        return true;
    const long long kNanoseconds = 1000000000LL;
    long long age = (static_cast<long long>(now.tv_sec) - version.modified.tv_sec) * kNanoseconds +
                    (now.tv_nsec - version.modified.tv_nsec);
    long long margin = version.modified.tv_nsec == 0 ? 2 * kNanoseconds : 20000000LL;
    return age < margin;
}

// The file parsed last and the version it was parsed from.
struct ParsedProfile {
    std::wstring file;  // the file as the caller names it; empty: none kept
    std::string path;   // its path on the file system
    FileVersion version;
    std::unique_ptr<posix::ProfileIndex> index;
};

// Guards the parsed file between the threads of this process.
std::mutex& ParsedProfileMutex() {
    static std::mutex mutex;
    return mutex;
}
ParsedProfile& LastParsedProfile() {
    static ParsedProfile last;
    return last;
}

// Finds the value in `file`, parsing the file only when it is not the one kept parsed or has
// changed since. The caller holds ParsedProfileMutex().
bool FindFileValue(const std::wstring& file, std::string_view section, std::string_view key,
                   std::string& value) {
    ParsedProfile& last = LastParsedProfile();
    std::string_view found;
    struct stat info;
    // A status, without opening the file, tells whether the parsed one is still the file; a
    // file that changes after it is parsed again below.
    if (last.index != nullptr && last.file == file && stat(last.path.c_str(), &info) == 0 &&
        FileVersion(info) == last.version) {
        if (!last.index->Find(section, key, found))
            return false;
        value = std::string(found);
        return true;
    }
    std::string path = posix::ToPath(file);
    ReadResult result;
    posix::Descriptor fd = OpenProfile(path, 0, info, result);
    if (!fd.valid())
        return false;
    FileVersion version(info);
    std::string content;
    if (!posix::ReadAll(fd.get(), content))
        return false;
    auto index = std::make_unique<posix::ProfileIndex>(content);
    bool present = index->Find(section, key, found);
    if (present)
        value = std::string(found);
    if (MayChangeUnseen(version)) {
        last = ParsedProfile();
    } else {
        last.file = file;
        last.path = std::move(path);
        last.version = version;
        last.index = std::move(index);
    }
    return present;
}

// Drops the parsed file when it is the one at `path`.
void ForgetParsedFile(const std::string& path) {
    std::lock_guard<std::mutex> lock(ParsedProfileMutex());
    if (LastParsedProfile().path == path)
        LastParsedProfile() = ParsedProfile();
}

// Writes `content` to a new file in the same folder and renames it over `path` once it is on
// the disk. The new file keeps `keepMode` (the replaced file's permissions) or, without it, gets
// the umask's.
bool ReplaceFile(const std::string& path, std::string_view content,
                 std::optional<mode_t> keepMode) {
    static std::atomic<unsigned> counter{0};
    std::string aside;
    posix::Descriptor fd;
    for (int attempt = 0; attempt < 100 && !fd.valid(); ++attempt) {
        aside = path + "." + std::to_string(getpid()) + "." + std::to_string(counter++) + ".tmp";
        fd = posix::Descriptor(open(aside.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
        if (!fd.valid() && errno != EEXIST)
            return false;
    }
    return fd.valid() && posix::ReplaceWithNewFile(std::move(fd), aside, path, content, keepMode) ==
                             posix::ReplaceFailure::kNone;
}

bool IsProfileBlank(wchar_t c) {
    return c == L' ' || c == L'\t' || c == L'\n' || c == L'\v' || c == L'\f' || c == L'\r' ||
           c == L'\x1a';
}

std::wstring CutToBuffer(std::wstring text, size_t bufferChars) {
    if (bufferChars == 0)
        return std::wstring();
    if (text.size() > bufferChars - 1)
        text.resize(bufferChars - 1);
    return text;
}

}  // namespace

bool WriteIniString(const std::wstring& file, const std::wstring& section, const std::wstring& key,
                    const std::wstring& value) {
    std::string path = posix::ToPath(file);
    std::string narrowSection = WideToAnsi(section);
    std::string narrowKey = WideToAnsi(key);
    std::string narrowValue = WideToAnsi(value);
    // A text that cannot be encoded would silently become an empty name or value.
    if (path.empty() || (narrowSection.empty() && !section.empty()) ||
        (narrowKey.empty() && !key.empty()) || (narrowValue.empty() && !value.empty())) {
        return false;
    }
    // The record lives in a folder where a link may have been planted in its place: the link
    // is neither read nor written through, but replaced by the new file, which the rename does
    // atomically.
    std::string content;
    mode_t mode = 0;
    ReadResult read = ReadWholeFile(path, content, O_NOFOLLOW, &mode);
    struct stat info;
    if (read == ReadResult::kFailed && lstat(path.c_str(), &info) == 0 && S_ISLNK(info.st_mode))
        read = ReadResult::kMissing;
    if (read == ReadResult::kFailed)
        return false;
    std::optional<mode_t> keepMode;
    if (read == ReadResult::kRead)
        keepMode = mode;
    bool replaced = ReplaceFile(
        path, posix::SetProfileValue(content, narrowSection, narrowKey, narrowValue), keepMode);
    // The new file has an inode of its own, which tells a reader already; the parsed file is
    // dropped all the same, as it no longer is the file at the path.
    ForgetParsedFile(path);
    return replaced;
}

std::wstring ReadIniString(const std::wstring& file, const std::wstring& section,
                           const std::wstring& key, const std::wstring& defaultValue,
                           size_t bufferChars) {
    std::string narrowSection = WideToAnsi(section);
    std::string narrowKey = WideToAnsi(key);
    bool namesEncoded =
        (!narrowSection.empty() || section.empty()) && (!narrowKey.empty() || key.empty());
    std::string value;
    bool found = false;
    if (namesEncoded) {
        std::lock_guard<std::mutex> lock(ParsedProfileMutex());
        found = FindFileValue(file, narrowSection, narrowKey, value);
    }
    if (found) {
        std::string_view unquoted = posix::StripProfileQuotes(value);
        return CutToBuffer(AnsiToWide(std::string(unquoted)), bufferChars);
    }
    std::wstring fallback = defaultValue;
    while (!fallback.empty() && IsProfileBlank(fallback.back()))
        fallback.pop_back();
    // The quote rule of values, applied to the wide text.
    if (fallback.size() >= 2 && (fallback.front() == L'"' || fallback.front() == L'\'') &&
        fallback.back() == fallback.front()) {
        fallback = fallback.substr(1, fallback.size() - 2);
    }
    return CutToBuffer(fallback, bufferChars);
}

}  // namespace platform
