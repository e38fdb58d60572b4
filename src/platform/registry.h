// Values and keys below HKEY_CURRENT_USER. Key paths use '\' on both targets, for example
// L"Software\\Korvane\\Pallaton\\". On Linux the hive is one .reg text file (see README).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace platform::registry {

// Reads a string value into a buffer of `bufferChars` characters, terminating NUL included, as
// SHGetValueW does: a value that does not fit fails, as do missing keys, missing values and
// values of another type.
bool ReadString(const std::wstring& key, const std::wstring& name, size_t bufferChars,
                std::wstring& value);
bool ReadDword(const std::wstring& key, const std::wstring& name, uint32_t& value);

// Writes a value, creating the key and its missing parents.
bool WriteString(const std::wstring& key, const std::wstring& name, const std::wstring& value);
bool WriteDword(const std::wstring& key, const std::wstring& name, uint32_t value);

bool DeleteValue(const std::wstring& key, const std::wstring& name);

// Deletes the key with all its values and subkeys.
bool DeleteKeyTree(const std::wstring& key);

bool KeyExists(const std::wstring& key);

// Names of the direct subkeys, in the order Windows enumerates them (sorted without regard to
// ASCII case). False when the key cannot be opened.
bool EnumSubkeys(const std::wstring& key, std::vector<std::wstring>& names);

}  // namespace platform::registry
