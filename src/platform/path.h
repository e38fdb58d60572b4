// Files, folders and path joining in the platform's own path syntax.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace platform {

#ifdef _WIN32
inline constexpr wchar_t kPathSeparator = L'\\';
#else
inline constexpr wchar_t kPathSeparator = L'/';
#endif

// The characters of a path buffer on Windows (MAX_PATH), the terminating NUL included: a path
// holds at most kMaxPathChars - 1 characters.
inline constexpr size_t kMaxPathChars = 260;

// Full path of the running executable.
std::wstring GetModuleFilePath();

// Windows: the path contains ':' or starts with '\'. Linux: it starts with '/'.
bool IsAbsolutePath(const std::wstring& path);

// Whether anything (file or folder) exists at the path.
bool PathExists(const std::wstring& path);
bool FolderExists(const std::wstring& path);

// Creates one folder; true when it exists afterwards (an existing folder counts as success).
bool CreateFolder(const std::wstring& path);

bool DeletePath(const std::wstring& path);

// Creates a folder that did not exist (only the current user may use it on Linux); false when
// anything is at the path already or the folder cannot be made.
bool CreateNewFolder(const std::wstring& path);

// Deletes an empty folder.
bool DeleteFolder(const std::wstring& path);

// Moves a file to `to`, replacing a file there in one step: a reader of `to` sees the old file
// or the new one, never a part. Both paths lie in one folder. False on failure; `from` is then
// left where it was.
bool ReplacePath(const std::wstring& from, const std::wstring& to);

// Whether another program holds the file so that it cannot be replaced now: open without
// sharing its deletion, or a running program's image (Windows). False for a missing file, and
// always on Linux, where a file in use can be replaced.
bool IsFileInUse(const std::wstring& path);

// The bytes the current user may still write on the volume that holds `folder`. False when the
// volume cannot be asked.
bool GetFreeDiskBytes(const std::wstring& folder, uint64_t& bytes);

// Whether two file names are one name to the Windows file system, which compares them code unit
// by code unit after its upper-case mapping: a letter of the Basic Multilingual Plane and its
// simple upper case are one, where each is the other's case partner ("\u0161" and "\u0160",
// not the dotless i and "I", nor the sharp s and "SS"). The same answer on both targets, so that
// names that would clash on Windows are told apart the same way on Linux.
bool SameFileName(const std::wstring& first, const std::wstring& second);

// Joins two paths as PathAppendW does: exactly one separator between them, '.' components of
// the appended part dropped; an absolute `more` is appended as a relative one.
std::wstring AppendPath(const std::wstring& base, const std::wstring& more);

}  // namespace platform
