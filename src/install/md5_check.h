// Digest texts and the check of a downloaded package against the digest its record carries.
#pragma once

#include <cstddef>
#include <string>

#include "common/file_digest.h"

// Digest of `length` bytes at `data` as 32 lower-case hexadecimal digits, written into `out`, a
// buffer of `outLength` characters (cut to outLength - 1 characters). False, with nothing
// written, when there is no buffer to write into.
bool GetBufferMd5(const unsigned char* data, unsigned int length, wchar_t* out, size_t outLength);

// Whether the file's digest equals `expectedMd5` (any letter case). A missing or empty file
// never passes. Logs the computed digest.
bool CheckFileMd5(const std::wstring& path, const std::wstring& expectedMd5);

// The same for a file opened already, read from its start: the digest of what the holder has
// open, not of what the path names by now.
bool CheckHeldFileMd5(platform::InputFile& file, const std::wstring& path,
                      const std::wstring& expectedMd5);
