// Reading a whole file through the wide file API, shared for reading only; stdio files opened
// by their wide path, given in UTF-8; positioned files through the wide file API, sparse until
// written. Files of downloads are never opened through a reparse point.
#include "platform/file.h"

#include <windows.h>
#include <winioctl.h>

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "platform/code_page.h"

namespace platform {

namespace {

HANDLE AsHandle(intptr_t handle) {
    return reinterpret_cast<HANDLE>(handle);
}

// The length of the file behind an open handle; false when none is open.
bool SizeOfOpenFile(intptr_t handle, uint64_t& size) {
    LARGE_INTEGER value;
    if (handle == -1 || !GetFileSizeEx(AsHandle(handle), &value))
        return false;
    size = static_cast<uint64_t>(value.QuadPart);
    return true;
}

// Opens the regular file that is itself at the path, shared for reading only: the reparse point
// itself is opened, not what it leads to, and then refused.
HANDLE OpenRegularFileWithoutLinks(const std::wstring& path, DWORD access) {
    HANDLE file = CreateFileW(
        path.c_str(), access, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
        FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return INVALID_HANDLE_VALUE;
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(file, &info) ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0 ||
        GetFileType(file) != FILE_TYPE_DISK) {
        CloseHandle(file);
        return INVALID_HANDLE_VALUE;
    }
    return file;
}

// Opens or creates the file that is itself at the path, never what a reparse point there (a
// symbolic link, a junction) leads to: a reparse point in the place of a file to be created is
// deleted and the file made anew; one in the place of a file to be read is refused.
HANDLE CreateFileWithoutLinks(const std::wstring& path, DWORD access, DWORD share,
                              DWORD disposition) {
    for (int attempt = 0; attempt < 2; ++attempt) {
        HANDLE file = CreateFileW(path.c_str(), access, share, nullptr, disposition,
                                  FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
        if (file == INVALID_HANDLE_VALUE)
            return file;
        BY_HANDLE_FILE_INFORMATION info = {};
        if (GetFileInformationByHandle(file, &info) &&
            (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) ==
                0 &&
            GetFileType(file) == FILE_TYPE_DISK)
            return file;
        CloseHandle(file);
        bool creates = disposition == CREATE_ALWAYS || disposition == OPEN_ALWAYS;
        if (!creates || (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0)
            break;
        if (!DeleteFileW(path.c_str()) && !RemoveDirectoryW(path.c_str()))
            break;
    }
    SetLastError(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
}

// A C stdio file for `mode` ("rb", "wb", "r+b", "w+b", ...) on a file opened without links.
std::FILE* OpenStdioWithoutLinks(const std::wstring& path, const char* mode) {
    bool update = std::strchr(mode, '+') != nullptr;
    bool write = mode[0] == 'w';
    DWORD access = update ? GENERIC_READ | GENERIC_WRITE : write ? GENERIC_WRITE : GENERIC_READ;
    HANDLE file = CreateFileWithoutLinks(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                         write ? CREATE_ALWAYS : OPEN_EXISTING);
    if (file == INVALID_HANDLE_VALUE)
        return nullptr;
    int flags = (update  ? _O_RDWR
                 : write ? _O_WRONLY
                         : _O_RDONLY) |
                (std::strchr(mode, 'b') != nullptr ? _O_BINARY : 0);
    int descriptor = _open_osfhandle(reinterpret_cast<intptr_t>(file), flags);
    if (descriptor == -1) {
        CloseHandle(file);
        return nullptr;
    }
    std::FILE* stream = _fdopen(descriptor, mode);
    if (stream == nullptr)
        _close(descriptor);
    return stream;
}

}  // namespace

bool InputFile::Open(const std::wstring& path) {
    Close();
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    handle_ = reinterpret_cast<intptr_t>(file);
    return true;
}

bool InputFile::OpenWithoutLinks(const std::wstring& path) {
    Close();
    HANDLE file = OpenRegularFileWithoutLinks(path, GENERIC_READ);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    handle_ = reinterpret_cast<intptr_t>(file);
    return true;
}

bool InputFile::OpenToMove(const std::wstring& path) {
    Close();
    // Moving the file through the handle needs the right to delete it; since no other handle
    // may share that right, nobody else can move or delete it meanwhile.
    HANDLE file = OpenRegularFileWithoutLinks(path, GENERIC_READ | DELETE);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    handle_ = reinterpret_cast<intptr_t>(file);
    return true;
}

bool InputFile::MoveTo(const std::wstring& to) {
    if (handle_ == -1 || to.empty())
        return false;
    // FILE_RENAME_INFO ends in the new name, of FileNameLength bytes.
    std::vector<char> buffer(sizeof(FILE_RENAME_INFO) + to.size() * sizeof(wchar_t));
    auto* rename = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
    rename->ReplaceIfExists = FALSE;
    rename->RootDirectory = nullptr;
    rename->FileNameLength = static_cast<DWORD>(to.size() * sizeof(wchar_t));
    std::memcpy(rename->FileName, to.c_str(), to.size() * sizeof(wchar_t));
    return SetFileInformationByHandle(AsHandle(handle_), FileRenameInfo, rename,
                                      static_cast<DWORD>(buffer.size())) != FALSE;
}

bool InputFile::GetSize(uint64_t& size) const {
    return SizeOfOpenFile(handle_, size);
}

bool InputFile::Read(void* buffer, size_t capacity, size_t& got) {
    got = 0;
    if (handle_ == -1)
        return false;
    DWORD chunk = capacity > 0x40000000u ? 0x40000000u : static_cast<DWORD>(capacity);
    DWORD read = 0;
    if (!ReadFile(AsHandle(handle_), buffer, chunk, &read, nullptr))
        return false;
    got = read;
    return true;
}

bool InputFile::ReadAt(uint64_t offset, void* buffer, size_t capacity, size_t& got) const {
    got = 0;
    if (handle_ == -1)
        return false;
    OVERLAPPED at = {};
    at.Offset = static_cast<DWORD>(offset & 0xffffffffu);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD chunk = capacity > 0x40000000u ? 0x40000000u : static_cast<DWORD>(capacity);
    DWORD read = 0;
    if (!ReadFile(AsHandle(handle_), buffer, chunk, &read, &at))
        return GetLastError() == ERROR_HANDLE_EOF;
    got = read;
    return true;
}

void InputFile::Close() {
    if (handle_ != -1)
        CloseHandle(AsHandle(handle_));
    handle_ = -1;
}

std::FILE* OpenStdioFile(const std::string& narrowPath, const char* mode) {
    if (narrowPath.empty() || mode == nullptr)
        return nullptr;
    std::wstring path = NarrowPathToWide(narrowPath);
    if (path.empty())
        return nullptr;
    if (mode[0] == 'a') {
        // The C library's append mode seeks to the end before each write with a 32-bit
        // position, which fails past 4 GiB; the file is opened for update instead and put at its
        // end once, with a 64-bit position.
        std::FILE* file = OpenStdioWithoutLinks(path, "r+b");
        if (file == nullptr)
            file = OpenStdioWithoutLinks(path, "w+b");
        if (file != nullptr && _fseeki64(file, 0, SEEK_END) != 0) {
            std::fclose(file);
            file = nullptr;
        }
        return file;
    }
    return OpenStdioWithoutLinks(path, mode);
}

bool GetStdioFileLength(std::FILE* file, int64_t& length) {
    struct _stati64 info;
    if (file == nullptr || std::fflush(file) != 0 || _fstati64(_fileno(file), &info) != 0)
        return false;
    length = static_cast<int64_t>(info.st_size);
    return true;
}

bool SyncStdioFile(std::FILE* file) {
    if (file == nullptr || std::fflush(file) != 0)
        return false;
    auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
    return handle != INVALID_HANDLE_VALUE && FlushFileBuffers(handle) != FALSE;
}

bool PositionedFile::Open(const std::string& narrowPath, bool truncate) {
    Close();
    std::wstring path = NarrowPathToWide(narrowPath);
    if (path.empty())
        return false;
    HANDLE file = CreateFileWithoutLinks(path, GENERIC_READ | GENERIC_WRITE,
                                         FILE_SHARE_READ | FILE_SHARE_DELETE,
                                         truncate ? CREATE_ALWAYS : OPEN_ALWAYS);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    handle_ = reinterpret_cast<intptr_t>(file);
    return true;
}

bool PositionedFile::Allocate(uint64_t length) {
    if (handle_ == -1 || length > static_cast<uint64_t>(INT64_MAX))
        return false;
    // A program run as the user cannot declare the bytes valid without writing them, and NTFS
    // fills every gap below a write with zeros first: a sparse file has no such gaps to fill.
    // A volume without sparse files (FAT) only gets the length.
    DWORD returned = 0;
    DeviceIoControl(AsHandle(handle_), FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &returned,
                    nullptr);
    LARGE_INTEGER end;
    end.QuadPart = static_cast<LONGLONG>(length);
    return SetFilePointerEx(AsHandle(handle_), end, nullptr, FILE_BEGIN) != FALSE &&
           SetEndOfFile(AsHandle(handle_)) != FALSE;
}

bool PositionedFile::WriteAt(uint64_t offset, const void* data, size_t size) {
    if (handle_ == -1 || (data == nullptr && size > 0))
        return false;
    const char* from = static_cast<const char*>(data);
    while (size > 0) {
        // An offset in the OVERLAPPED structure makes the write positioned on a handle opened
        // for synchronous use, whatever another thread's write did to the file pointer.
        OVERLAPPED at = {};
        at.Offset = static_cast<DWORD>(offset & 0xffffffffu);
        at.OffsetHigh = static_cast<DWORD>(offset >> 32);
        DWORD chunk = size > 0x40000000u ? 0x40000000u : static_cast<DWORD>(size);
        DWORD written = 0;
        if (!WriteFile(AsHandle(handle_), from, chunk, &written, &at) || written == 0)
            return false;
        from += written;
        size -= written;
        offset += written;
    }
    return true;
}

bool PositionedFile::Sync() {
    return handle_ != -1 && FlushFileBuffers(AsHandle(handle_)) != FALSE;
}

bool PositionedFile::GetSize(uint64_t& size) const {
    return SizeOfOpenFile(handle_, size);
}

bool PositionedFile::GetAllocatedSize(uint64_t& size) const {
    FILE_STANDARD_INFO info = {};
    if (handle_ == -1 ||
        !GetFileInformationByHandleEx(AsHandle(handle_), FileStandardInfo, &info, sizeof(info)) ||
        info.AllocationSize.QuadPart < 0)
        return false;
    size = static_cast<uint64_t>(info.AllocationSize.QuadPart);
    return true;
}

void PositionedFile::Close() {
    if (handle_ != -1)
        CloseHandle(AsHandle(handle_));
    handle_ = -1;
}

}  // namespace platform
