#include "platform/path.h"

#include <windows.h>

#include <shlwapi.h>

namespace platform {

std::wstring GetModuleFilePath() {
    wchar_t buffer[MAX_PATH] = {};
    DWORD length = GetModuleFileNameW(nullptr, buffer, MAX_PATH);
    return std::wstring(buffer, length);
}

bool IsAbsolutePath(const std::wstring& path) {
    return path.find(L':') != std::wstring::npos || (!path.empty() && path[0] == L'\\');
}

bool PathExists(const std::wstring& path) {
    return PathFileExistsW(path.c_str()) != FALSE;
}

bool FolderExists(const std::wstring& path) {
    DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool CreateFolder(const std::wstring& path) {
    if (CreateDirectoryW(path.c_str(), nullptr))
        return true;
    return GetLastError() == ERROR_ALREADY_EXISTS && FolderExists(path);
}

bool DeletePath(const std::wstring& path) {
    return DeleteFileW(path.c_str()) != FALSE;
}

bool CreateNewFolder(const std::wstring& path) {
    return CreateDirectoryW(path.c_str(), nullptr) != FALSE;
}

bool DeleteFolder(const std::wstring& path) {
    return RemoveDirectoryW(path.c_str()) != FALSE;
}

bool ReplacePath(const std::wstring& from, const std::wstring& to) {
    return MoveFileExW(from.c_str(), to.c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != FALSE;
}

bool IsFileInUse(const std::wstring& path) {
    // Writing and deleting are what a replace needs; the system refuses them while another
    // handle shares neither, or while the file is a running program's image.
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE | DELETE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION;
    }
    CloseHandle(file);
    return false;
}

bool GetFreeDiskBytes(const std::wstring& folder, uint64_t& bytes) {
    ULARGE_INTEGER available = {};
    if (folder.empty() || !GetDiskFreeSpaceExW(folder.c_str(), &available, nullptr, nullptr))
        return false;
    bytes = available.QuadPart;
    return true;
}

bool SameFileName(const std::wstring& first, const std::wstring& second) {
    return CompareStringOrdinal(first.c_str(), static_cast<int>(first.size()), second.c_str(),
                                static_cast<int>(second.size()), TRUE) == CSTR_EQUAL;
}

std::wstring AppendPath(const std::wstring& base, const std::wstring& more) {
    wchar_t buffer[MAX_PATH] = {};
    if (base.size() >= MAX_PATH)
        return base;
    base.copy(buffer, base.size());
    if (!PathAppendW(buffer, more.c_str()))
        return base;
    return buffer;
}

}  // namespace platform
