#include "platform/path.h"

#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <iterator>
#include <vector>

#include "platform/posix/internal.h"

namespace platform {

namespace {

// Runs of code points that map to their upper case by one distance.
struct UpperCaseRun {
    uint32_t first;
    uint32_t last;
    uint32_t step;  // every code point of the run (1), or every other one (2)
    int32_t delta;
};

constexpr UpperCaseRun kUpperCaseRuns[] = {
#include "platform/posix/upper_case_table.inc"
};

// The Windows file system's upper case of one code point (see SameFileName).
uint32_t FileNameUpperCase(uint32_t code) {
    auto run = std::upper_bound(
        std::begin(kUpperCaseRuns), std::end(kUpperCaseRuns), code,
        [](uint32_t value, const UpperCaseRun& candidate) { return value < candidate.first; });
    if (run == std::begin(kUpperCaseRuns))
        return code;
    --run;
    if (code > run->last || (code - run->first) % run->step != 0)
        return code;
    return static_cast<uint32_t>(static_cast<int32_t>(code) + run->delta);
}

}  // namespace

std::wstring GetModuleFilePath() {
    std::vector<char> buffer(4096);
    ssize_t length = readlink("/proc/self/exe", buffer.data(), buffer.size() - 1);
    if (length <= 0)
        return std::wstring();
    return posix::FromPath(std::string(buffer.data(), static_cast<size_t>(length)));
}

bool IsAbsolutePath(const std::wstring& path) {
    return !path.empty() && path[0] == L'/';
}

bool PathExists(const std::wstring& path) {
    struct stat info;
    return !path.empty() && stat(posix::ToPath(path).c_str(), &info) == 0;
}

bool FolderExists(const std::wstring& path) {
    struct stat info;
    return !path.empty() && stat(posix::ToPath(path).c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool CreateFolder(const std::wstring& path) {
    if (path.empty())
        return false;
    if (mkdir(posix::ToPath(path).c_str(), 0755) == 0)
        return true;
    return errno == EEXIST && FolderExists(path);
}

bool DeletePath(const std::wstring& path) {
    return !path.empty() && unlink(posix::ToPath(path).c_str()) == 0;
}

bool CreateNewFolder(const std::wstring& path) {
    return !path.empty() && mkdir(posix::ToPath(path).c_str(), 0700) == 0;
}

bool DeleteFolder(const std::wstring& path) {
    return !path.empty() && rmdir(posix::ToPath(path).c_str()) == 0;
}

bool ReplacePath(const std::wstring& from, const std::wstring& to) {
    return !from.empty() && !to.empty() &&
           rename(posix::ToPath(from).c_str(), posix::ToPath(to).c_str()) == 0;
}

bool IsFileInUse(const std::wstring&) {
    return false;
}

bool GetFreeDiskBytes(const std::wstring& folder, uint64_t& bytes) {
    struct statvfs info;
    if (folder.empty() || statvfs(posix::ToPath(folder).c_str(), &info) != 0)
        return false;
    bytes = static_cast<uint64_t>(info.f_bavail) * info.f_frsize;
    return true;
}

bool SameFileName(const std::wstring& first, const std::wstring& second) {
    // Names are compared character by character: the mapping keeps every character within
    // the plane it is in, and leaves the characters outside the Basic Multilingual Plane (two
    // code units each on Windows) as they are.
    return first.size() == second.size() &&
           std::equal(first.begin(), first.end(), second.begin(), [](wchar_t a, wchar_t b) {
               return FileNameUpperCase(static_cast<uint32_t>(a)) ==
                      FileNameUpperCase(static_cast<uint32_t>(b));
           });
}

std::wstring AppendPath(const std::wstring& base, const std::wstring& more) {
    std::wstring result = base;
    while (result.size() > 1 && result.back() == kPathSeparator)
        result.pop_back();
    size_t start = 0;
    while (start <= more.size()) {
        size_t end = more.find(kPathSeparator, start);
        if (end == std::wstring::npos)
            end = more.size();
        std::wstring part = more.substr(start, end - start);
        if (part == L"..") {
            size_t cut = result.find_last_of(kPathSeparator);
            if (cut == std::wstring::npos) {
                result.clear();
            } else {
                result.resize(cut == 0 ? 1 : cut);
            }
        } else if (!part.empty() && part != L".") {
            if (!result.empty() && result.back() != kPathSeparator)
                result += kPathSeparator;
            result += part;
        }
        start = end + 1;
    }
    return result;
}

}  // namespace platform
