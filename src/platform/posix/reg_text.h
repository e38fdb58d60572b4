// The text of a hive in the format of registry exports ("Windows Registry Editor Version 5.00",
// UTF-8 with or without a byte-order mark), parsed into keys and values and written back, in
// memory and without any file: the codec behind the Linux registry.
//
// Accepted syntax: blank lines, ';' comments, sections `[HKEY_CURRENT_USER\...]`, values
// `"name"="text"`, `"name"=dword:XXXXXXXX` (one to eight hex digits), `"name"=hex:...` and
// `"name"=hex(N):...` with continuation lines ending in '\', and `@=` for the default value (the
// value named ""). Removal lines (`[-HKEY_...]`, `"name"=-`) describe an import rather than a hive
// and are rejected as unparseable. Comments are not kept when the text is written; hex values are,
// verbatim.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace platform::posix::reg_text {

// The first line of a hive file, and the one key at the root of every section's path.
inline constexpr wchar_t kHeader[] = L"Windows Registry Editor Version 5.00";
inline constexpr wchar_t kRoot[] = L"HKEY_CURRENT_USER";

inline constexpr uint32_t kTypeString = 1;        // REG_SZ
inline constexpr uint32_t kTypeExpandString = 2;  // REG_EXPAND_SZ
inline constexpr uint32_t kTypeBinary = 3;        // REG_BINARY, written as plain "hex:"
inline constexpr uint32_t kTypeDword = 4;         // REG_DWORD

struct Value {
    enum class Kind { kString, kDword, kHex };

    std::wstring name;  // empty for the default value, written as '@'
    Kind kind = Kind::kString;
    std::wstring text;   // kString
    uint32_t dword = 0;  // kDword
    // kHex: the text after '=' as found in the file (continuation lines joined by '\n'), written
    // back unchanged, and the type and bytes it encodes.
    std::wstring raw;
    uint32_t type = 0;
    std::vector<uint8_t> bytes;
};

using KeyPath = std::vector<std::wstring>;

// Key and value names match without regard to ASCII case, as Windows matches them.
bool SameName(const std::wstring& a, const std::wstring& b);

// Names sort as Windows sorts them: UTF-16 code unit by code unit, ASCII letters upper-cased (so
// "aB" sorts before "a_").
struct KeyPathLess {
    bool operator()(const KeyPath& a, const KeyPath& b) const;
};

// Keys in tree order: every key comes before its subkeys, which follow it contiguously. The root
// itself (the empty path) is present only when it holds values.
using Hive = std::map<KeyPath, std::vector<Value>, KeyPathLess>;

bool IsPrefix(const KeyPath& prefix, const KeyPath& path);

// Names and text that fit on one line of the file.
bool IsSingleLine(const std::wstring& text);

// Splits "A\B\C" or "A\B\C\" into its components; "" is the root. Empty components and names
// that cannot be written fail.
bool SplitKeyPath(const std::wstring& key, KeyPath& path);

// Adds the key and its missing parents, keeping the case of the names already there.
std::vector<Value>& CreateKey(Hive& hive, const KeyPath& path);

std::vector<Value>::iterator FindValue(std::vector<Value>& values, const std::wstring& name);

// Stores the value, replacing one of the same name but keeping that name's case.
void SetValue(std::vector<Value>& values, Value value);

// UTF-16LE data of REG_SZ and REG_EXPAND_SZ values written in hex form. Decoding stops at the
// first NUL, as a string read from the registry ends there.
bool EncodeUtf16Le(const std::wstring& text, std::vector<uint8_t>& bytes);
bool DecodeUtf16Le(const std::vector<uint8_t>& bytes, std::wstring& text);

// Parses the file's bytes; false (and the hive unspecified) when they are not a hive, with `why`
// (when given) saying where and what was refused. Bytes that hold nothing but blanks are an
// empty hive.
bool ParseHive(const std::string& bytes, Hive& hive, std::wstring* why = nullptr);

// The name as it stands before '=': '@' for the default value, else quoted.
std::wstring ValueName(const std::wstring& name);

// "hex(N):xx,xx,..." wrapped as exports wrap it: lines of at most 80 characters ending in ",\",
// continuation lines indented by two spaces. `column` is where the data starts on its line.
std::wstring FormatHex(uint32_t type, const std::vector<uint8_t>& bytes, size_t column);

// The whole text of the hive, which ParseHive reads back as the same hive.
std::wstring FormatHive(const Hive& hive);

}  // namespace platform::posix::reg_text
