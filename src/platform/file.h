// Reading an existing file from start to end, as the package check does, with paths in the
// platform's own form (wide on Windows, UTF-8 on Linux); the C stdio files of downloads; and the
// partial file that the pieces of a download write at their own offsets.
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

    // Opens the regular file that is itself at the path, as OpenWithoutLinks does, so that it
    // can be moved through this handle (MoveTo); on Windows nobody else may write, move or
    // delete it while it is open.
    bool OpenToMove(const std::wstring& path);

    // Gives the open file the full path `to` (in a folder of the same volume, where nothing
    // has that name yet) through the handle, so that the file that moves is the one that was
    // read. False on failure; the file then keeps its name.
    bool MoveTo(const std::wstring& to);

    bool GetSize(uint64_t& size) const;

    // Reads up to `capacity` bytes into `buffer`; `got` is 0 at the end of the file. False on
    // a read error.
    bool Read(void* buffer, size_t capacity, size_t& got);

    // Reads up to `capacity` bytes from `offset` into `buffer`, whatever Read has read so far;
    // `got` is 0 past the end of the file. False on a read error.
    bool ReadAt(uint64_t offset, void* buffer, size_t capacity, size_t& got) const;

    void Close();

    // The system's handle (Windows) or descriptor (Linux), for the platform's own checks of the
    // open file; -1 when none is open.
    intptr_t NativeHandle() const { return handle_; }

  private:
    intptr_t handle_ = -1;  // the invalid value of both targets' handles
};

// C stdio files for downloads, opened by a narrow path as ToNarrowPath gives it (Windows opens
// the wide form of it, Linux opens it close-on-exec; both never through a symbolic link or, on
// Windows, another reparse point, a link in the place of a file to be created being replaced,
// and only a regular file). `mode` is an
// fopen mode such as "wb+"; an append mode writes at the file's end also past 4 GiB, and only
// there (the file is not to be read through it).
std::FILE* OpenStdioFile(const std::string& narrowPath, const char* mode);

// The length of an open stdio file, its buffered output included. False on failure.
bool GetStdioFileLength(std::FILE* file, int64_t& length);

// Hands the file's buffered output to the system and waits until the system has put the file's
// data on the disk, so that a name or a record that trusts the file's length never finds a
// zeroed tail after a power cut. False on failure.
bool SyncStdioFile(std::FILE* file);

// A file written at given offsets by several threads at once, opened by a narrow path as
// OpenStdioFile takes it (never through a symbolic link or another reparse point, only a
// regular file; Linux: close-on-exec). Each write names its own offset, so writers need no common
// position.
class PositionedFile {
  public:
    PositionedFile() = default;
    ~PositionedFile() { Close(); }
    PositionedFile(const PositionedFile&) = delete;
    PositionedFile& operator=(const PositionedFile&) = delete;

    // Opens the file for reading and writing, creating it when it is missing; `truncate` empties
    // one that exists.
    bool Open(const std::string& narrowPath, bool truncate);

    // Makes the file `length` bytes long without writing its bytes: on Linux the blocks are
    // allocated (where the file system cannot, the length is only set), on Windows the file is
    // made sparse first, so that setting its end writes no zeros. What the file held below the
    // length stays. False when the disk has no room or the file cannot take the length.
    bool Allocate(uint64_t length);

    // Writes all `size` bytes at `offset`; false on a short or failed write (a full disk).
    bool WriteAt(uint64_t offset, const void* data, size_t size);

    // Waits until the system has put the file's data on the disk.
    bool Sync();

    bool GetSize(uint64_t& size) const;

    // The bytes the file takes on its volume: all of its length once allocated, only what was
    // written of a sparse file or of one whose length was only set.
    bool GetAllocatedSize(uint64_t& size) const;

    bool IsOpen() const { return handle_ != -1; }
    void Close();

    // The system's handle (Windows) or descriptor (Linux); -1 when none is open.
    intptr_t NativeHandle() const { return handle_; }

  private:
    intptr_t handle_ = -1;
};

}  // namespace platform
