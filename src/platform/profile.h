// Profile strings: values kept in a Windows-style INI file ("[section]" lines followed by
// "key=value" lines), read and written one value at a time.
#pragma once

#include <cstddef>
#include <string>

namespace platform {

// Sets `key` in `section` to `value`, updating the first matching key in place and keeping
// every other line; the key, the section and the file are created when missing (the folder
// must exist). Section and key names are matched without regard to ASCII case and to the
// blanks around them. False when the file could not be written.
bool WriteIniString(const std::wstring& file, const std::wstring& section, const std::wstring& key,
                    const std::wstring& value);

// Reads `key` of `section` as a buffer of `bufferChars` characters would receive it: the
// value without the blanks around it and without one pair of matching quotes around it, cut
// to bufferChars - 1 characters. A missing file, section or key, or a key line without '=',
// gives `defaultValue` instead, without its trailing blanks and cut the same way.
std::wstring ReadIniString(const std::wstring& file, const std::wstring& section,
                           const std::wstring& key, const std::wstring& defaultValue,
                           size_t bufferChars);

}  // namespace platform
