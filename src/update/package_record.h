// One package named by the update answer: what to download, where to put it, and how to check
// it afterwards.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

struct PackageRecord {
    std::wstring id;         // an application id, or "1000" for the client's own package
    std::wstring localPath;  // the download folder followed by the answer's file name
    std::wstring url;
    std::wstring md5;      // the expected digest text, as the answer gave it
    std::wstring version;  // empty for a full package
    int64_t fileSize = 0;  // expected size in bytes; 0 when the answer gave none
    int taskId = 0;        // the download task's id; 0 until the download starts
    bool taken = false;    // handed out for download
};

// The size a download is told to expect: the answer's size, or 0 (unknown, so that the download
// finds the length out itself) for none.
inline uint64_t ExpectedDownloadSize(int64_t fileSize) {
    return fileSize > 0 ? static_cast<uint64_t>(fileSize) : 0u;
}

// Whether the record's destination already holds its package: a regular file, not a link to
// one, of the answer's size (when the answer gives one) whose digest is the answer's. Reads the
// whole file when the size fits.
bool IsPackageAlreadyPresent(const std::wstring& localPath, int64_t fileSize,
                             const std::wstring& md5);

// Deletes what downloads of the package leave beside it: the piece files, their state file and
// the partial file.
void DeleteDownloadLeftovers(const std::wstring& localPath);

// Why `fileName` may not be joined to `downloadFolder`, or null when it may: a name that is
// empty, "." or "..", holds a separator, a drive colon, a character Windows forbids in names or
// a control character, ends in '.' or ' ', is a Windows device name (alone or before a '.'), or
// makes the joined path longer than a path buffer holds. The same rule on both targets, so that
// an answer means the same everywhere.
const wchar_t* FindUnsafeFileNameReason(const std::wstring& downloadFolder,
                                        const std::wstring& fileName);

// Why a value cannot be written into the package record, or null when it can: a control
// character anywhere (a line break would start a line or a section of its own), and in a
// package id also '[' or ']' (which delimit section names) or '|' (which separates the ids of
// the record's list).
const wchar_t* FindUnsafeRecordValueReason(const std::wstring& value, bool isId);
