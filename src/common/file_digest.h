// The MD5 digest of a whole file as text, read block by block, and the comparison of digest
// texts: shared by the package check before installing and the look for a package that is
// already downloaded.
#pragma once

#include <cstdint>
#include <string>

#include "platform/file.h"

// The digest of the file at `path` as 32 lower-case hexadecimal digits, and its size. False when
// the file cannot be opened or read; the memory taken does not grow with the file.
bool ComputeFileMd5(const std::wstring& path, std::wstring& digest, uint64_t& size);

// The same for a file opened already, read from where it stands to its end.
bool ComputeFileMd5(platform::InputFile& file, std::wstring& digest);

// Whether two digest texts are equal, ASCII letters compared without regard to case. A null or
// empty text never equals anything.
bool IsSameMd5Text(const wchar_t* first, const wchar_t* second);

// The digest as 32 lower-case hexadecimal digits.
std::wstring Md5DigestToText(const unsigned char digest[16]);
