// Reading an existing file from start to end, as the package check does, with paths in the
// platform's own form (wide on Windows, UTF-8 on Linux); and the C stdio files of downloads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

namespace platform {

class InputFile {
  public:
    InputFile() = default;
    ~InputFile() { Close(); }
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;

    // Opens an existing regular file for reading; others may read it meanwhile but not write
    // it (Windows; Linux has no such lock). False for a folder or a missing file.
    bool Open(const std::wstring& path);

    // Opens the regular file that is itself at the path, as Open does; a symbolic link there
    // (on Windows any reparse point) is refused rather than followed.
    bool OpenWithoutLinks(const std::wstring& path);

    bool GetSize(uint64_t& size) const;

    // Reads up to `capacity` bytes into `buffer`; `got` is 0 at the end of the file. False on
    // a read error.
    bool Read(void* buffer, size_t capacity, size_t& got);

    void Close();

    // The system's handle (Windows) or descriptor (Linux), for the platform's own checks of the
    // open file; -1 when none is open.
    intptr_t NativeHandle() const { return handle_; }

  private:
    intptr_t handle_ = -1;  // the invalid value of both targets' handles
};

// C stdio files for downloads, opened by a narrow path as ToNarrowPath gives it (Windows opens
// the wide form of it; Linux opens it close-on-exec, never through a symbolic link, a link in
// the place of a file to be created being replaced, and only a regular file). `mode` is an
// fopen mode such as "wb+"; an append mode writes at the file's end also past 4 GiB, and only
// there (the file is not to be read through it).
std::FILE* OpenStdioFile(const std::string& narrowPath, const char* mode);

// The length of an open stdio file, its buffered output included. False on failure.
bool GetStdioFileLength(std::FILE* file, int64_t& length);

// Hands the file's buffered output to the system and waits until the system has put the file's
// data on the disk, so that a name or a record that trusts the file's length never finds a
// zeroed tail after a power cut. False on failure.
bool SyncStdioFile(std::FILE* file);

}  // namespace platform
