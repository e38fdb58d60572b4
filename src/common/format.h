// printf-style wide formatting with the same meaning on both targets: %s takes a wide string
// (as in the Windows CRT), %c a wide character; integer, floating and pointer conversions with
// their flags, width, precision and length modifiers as in printf. Output that does not fit a
// bounded buffer is cut.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <string>

std::wstring VFormatWide(const wchar_t* format, va_list args);
std::wstring FormatWide(const wchar_t* format, ...);

// Formats into `buffer` of `bufferChars` characters: at most bufferChars - 1 characters and a
// terminating NUL. Returns the number of characters written.
size_t FormatBounded(wchar_t* buffer, size_t bufferChars, const wchar_t* format, ...);

// Formats and cuts the result to at most `bufferChars - 1` characters, as a fixed buffer of
// `bufferChars` characters would hold it.
std::wstring FormatCut(size_t bufferChars, const wchar_t* format, ...);
