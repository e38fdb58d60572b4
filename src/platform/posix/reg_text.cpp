#include "platform/posix/reg_text.h"

#include <cstddef>
#include <string_view>

#include "base/ascii.h"
#include "base/utf16.h"
#include "base/utf8.h"

namespace platform::posix::reg_text {

namespace {

// Windows limits key names to 255 characters; the same limit keeps the file importable there.
constexpr size_t kMaxKeyNameChars = 255;

wchar_t FoldAscii(wchar_t c) {
    return c >= L'a' && c <= L'z' ? c - (L'a' - L'A') : c;
}

// The name's UTF-16 code units with ASCII letters upper-cased: what Windows sorts names by.
std::u16string SortKey(const std::wstring& name) {
    std::u16string key;
    key.reserve(name.size());
    for (wchar_t c : name) {
        utf16::EncodeCodePoint(static_cast<uint32_t>(FoldAscii(c)),
                               [&key](uint16_t unit) { key += static_cast<char16_t>(unit); });
    }
    return key;
}

}  // namespace

bool SameName(const std::wstring& a, const std::wstring& b) {
    return EqualsIgnoreCaseAscii(a, b);
}

bool KeyPathLess::operator()(const KeyPath& a, const KeyPath& b) const {
    for (size_t i = 0; i < a.size() && i < b.size(); ++i) {
        if (SameName(a[i], b[i]))
            continue;
        return SortKey(a[i]) < SortKey(b[i]);
    }
    return a.size() < b.size();
}

bool IsPrefix(const KeyPath& prefix, const KeyPath& path) {
    if (prefix.size() > path.size())
        return false;
    for (size_t i = 0; i < prefix.size(); ++i) {
        if (!SameName(prefix[i], path[i]))
            return false;
    }
    return true;
}

bool IsSingleLine(const std::wstring& text) {
    return text.find_first_of(std::wstring(L"\r\n\0", 3)) == std::wstring::npos;
}

bool SplitKeyPath(const std::wstring& key, KeyPath& path) {
    path.clear();
    size_t start = 0;
    while (start < key.size()) {
        size_t end = key.find(L'\\', start);
        if (end == std::wstring::npos)
            end = key.size();
        std::wstring part = key.substr(start, end - start);
        if (part.empty() || part.size() > kMaxKeyNameChars || !IsSingleLine(part))
            return false;
        path.push_back(std::move(part));
        start = end + 1;
    }
    return true;
}

std::vector<Value>& CreateKey(Hive& hive, const KeyPath& path) {
    for (size_t n = 1; n < path.size(); ++n) {
        hive.try_emplace(KeyPath(path.begin(), path.begin() + static_cast<std::ptrdiff_t>(n)));
    }
    return hive.try_emplace(path).first->second;
}

std::vector<Value>::iterator FindValue(std::vector<Value>& values, const std::wstring& name) {
    for (auto it = values.begin(); it != values.end(); ++it) {
        if (SameName(it->name, name))
            return it;
    }
    return values.end();
}

void SetValue(std::vector<Value>& values, Value value) {
    auto it = FindValue(values, value.name);
    if (it == values.end()) {
        values.push_back(std::move(value));
    } else {
        value.name = std::move(it->name);
        *it = std::move(value);
    }
}

bool EncodeUtf16Le(const std::wstring& text, std::vector<uint8_t>& bytes) {
    bytes.clear();
    auto unit = [&bytes](uint16_t u) {
        bytes.push_back(static_cast<uint8_t>(u & 0xFF));
        bytes.push_back(static_cast<uint8_t>(u >> 8));
    };
    for (wchar_t c : text) {
        uint32_t cp = static_cast<uint32_t>(c);
        if ((cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF)
            return false;
        utf16::EncodeCodePoint(cp, unit);
    }
    return true;
}

bool DecodeUtf16Le(const std::vector<uint8_t>& bytes, std::wstring& text) {
    text.clear();
    for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
        uint32_t cp = bytes[i] | (static_cast<uint32_t>(bytes[i + 1]) << 8);
        if (cp == 0)
            break;
        if (cp >= 0xDC00 && cp <= 0xDFFF)
            return false;
        if (cp >= 0xD800 && cp <= 0xDBFF) {
            if (i + 3 >= bytes.size())
                return false;
            uint32_t low = bytes[i + 2] | (static_cast<uint32_t>(bytes[i + 3]) << 8);
            if (low < 0xDC00 || low > 0xDFFF)
                return false;
            cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
            i += 2;
        }
        utf16::AppendCodePoint(text, cp);
    }
    return true;
}

namespace {

bool IsBlank(wchar_t c) {
    return c == L' ' || c == L'\t';
}

std::wstring TrimRight(std::wstring text) {
    while (!text.empty() && IsBlank(text.back()))
        text.pop_back();
    return text;
}

std::wstring TrimLeft(const std::wstring& text) {
    size_t start = 0;
    while (start < text.size() && IsBlank(text[start]))
        ++start;
    return text.substr(start);
}

bool StartsWithNoCase(const std::wstring& text, size_t pos, const std::wstring& prefix) {
    return text.size() - pos >= prefix.size() && SameName(text.substr(pos, prefix.size()), prefix);
}

int HexDigit(wchar_t c) {
    if (c >= L'0' && c <= L'9')
        return c - L'0';
    if (c >= L'a' && c <= L'f')
        return c - L'a' + 10;
    if (c >= L'A' && c <= L'F')
        return c - L'A' + 10;
    return -1;
}

// Reads a quoted string at text[pos] with the escapes \\ and \", leaving pos after it.
bool ParseQuoted(const std::wstring& text, size_t& pos, std::wstring& out) {
    if (pos >= text.size() || text[pos] != L'"')
        return false;
    out.clear();
    for (++pos; pos < text.size(); ++pos) {
        wchar_t c = text[pos];
        if (c == L'"') {
            ++pos;
            return true;
        }
        if (c == L'\\') {
            if (++pos == text.size() || (text[pos] != L'\\' && text[pos] != L'"'))
                return false;
            c = text[pos];
        }
        out += c;
    }
    return false;
}

// "HKEY_CURRENT_USER\A\B" (the text between the brackets) into {"A", "B"}.
bool ParseSectionPath(const std::wstring& text, KeyPath& path) {
    const std::wstring root = kRoot;
    if (!StartsWithNoCase(text, 0, root))
        return false;
    if (text.size() == root.size()) {
        path.clear();
        return true;
    }
    return text[root.size()] == L'\\' && SplitKeyPath(text.substr(root.size() + 1), path) &&
           !path.empty();
}

// Parses the byte list of a hex value; `list` has its continuations already joined.
bool ParseHexBytes(const std::wstring& list, std::vector<uint8_t>& bytes) {
    bytes.clear();
    size_t pos = 0;
    while (true) {
        size_t comma = list.find(L',', pos);
        std::wstring token = TrimRight(TrimLeft(
            list.substr(pos, comma == std::wstring::npos ? std::wstring::npos : comma - pos)));
        if (token.empty()) {
            // Only the end of the list may be empty ("" or a trailing comma).
            return comma == std::wstring::npos;
        }
        if (token.size() > 2 || HexDigit(token[0]) < 0 || HexDigit(token.back()) < 0)
            return false;
        bytes.push_back(static_cast<uint8_t>(
            token.size() == 1 ? HexDigit(token[0]) : HexDigit(token[0]) * 16 + HexDigit(token[1])));
        if (comma == std::wstring::npos)
            return true;
        pos = comma + 1;
    }
}

// Parses the data of "hex:..." or "hex(N):..." starting at data; consumes continuation lines from
// `lines` (advancing `index`).
bool ParseHexValue(const std::wstring& data, const std::vector<std::wstring>& lines, size_t& index,
                   Value& value) {
    size_t pos = 3;  // after "hex"
    value.type = kTypeBinary;
    if (pos < data.size() && data[pos] == L'(') {
        size_t close = data.find(L')', pos);
        if (close == std::wstring::npos || close == pos + 1 || close - pos - 1 > 8)
            return false;
        value.type = 0;
        for (size_t i = pos + 1; i < close; ++i) {
            int digit = HexDigit(data[i]);
            if (digit < 0)
                return false;
            value.type = value.type * 16 + static_cast<uint32_t>(digit);
        }
        pos = close + 1;
    }
    if (pos >= data.size() || data[pos] != L':')
        return false;
    value.kind = Value::Kind::kHex;
    value.raw = data;
    std::wstring list;
    std::wstring line = data.substr(pos + 1);
    while (!line.empty() && line.back() == L'\\') {
        line.pop_back();
        list += line;
        if (++index == lines.size())
            return false;
        std::wstring next = TrimRight(lines[index]);
        value.raw += L'\n';
        value.raw += next;
        line = TrimLeft(next);
    }
    list += line;
    return ParseHexBytes(list, value.bytes);
}

// Parses the value line lines[index] (trimmed as `line`), advancing index over continuations.
bool ParseValue(const std::wstring& line, const std::vector<std::wstring>& lines, size_t& index,
                Value& value) {
    size_t pos = 0;
    if (line[0] == L'@') {
        value.name.clear();
        pos = 1;
    } else if (!ParseQuoted(line, pos, value.name)) {
        return false;
    }
    while (pos < line.size() && IsBlank(line[pos]))
        ++pos;
    if (pos == line.size() || line[pos] != L'=')
        return false;
    ++pos;
    while (pos < line.size() && IsBlank(line[pos]))
        ++pos;
    std::wstring data = line.substr(pos);

    if (!data.empty() && data[0] == L'"') {
        size_t end = 0;
        value.kind = Value::Kind::kString;
        return ParseQuoted(data, end, value.text) && end == data.size();
    }
    if (StartsWithNoCase(data, 0, L"dword:")) {
        // Exports write eight digits; hand-written files often fewer, which imports accept.
        std::wstring digits = data.substr(6);
        if (digits.empty() || digits.size() > 8)
            return false;
        value.kind = Value::Kind::kDword;
        value.dword = 0;
        for (wchar_t c : digits) {
            int digit = HexDigit(c);
            if (digit < 0)
                return false;
            value.dword = value.dword * 16 + static_cast<uint32_t>(digit);
        }
        return true;
    }
    if (StartsWithNoCase(data, 0, L"hex"))
        return ParseHexValue(data, lines, index, value);
    return false;
}

}  // namespace

bool ParseHive(const std::string& bytes, Hive& hive, std::wstring* why) {
    auto refuse = [why](size_t index, const wchar_t* reason) {
        if (why != nullptr)
            *why = L"line " + std::to_wstring(index + 1) + L": " + reason;
        return false;
    };
    hive.clear();
    std::string_view body = bytes;
    if (body.substr(0, 3) == "\xEF\xBB\xBF")
        body.remove_prefix(3);
    std::wstring text;
    if (!utf8::Decode(std::string(body), text)) {
        if (why != nullptr)
            *why = L"the text is not UTF-8";
        return false;
    }

    std::vector<std::wstring> lines;
    // A final line break ends the last line rather than starting an empty one.
    for (size_t start = 0; start < text.size();) {
        size_t end = text.find(L'\n', start);
        if (end == std::wstring::npos)
            end = text.size();
        std::wstring line = text.substr(start, end - start);
        if (!line.empty() && line.back() == L'\r')
            line.pop_back();
        lines.push_back(std::move(line));
        start = end + 1;
    }
    // A file with nothing in it (say, one created by hand) is an empty hive.
    bool blank = true;
    for (const auto& line : lines)
        blank = blank && TrimLeft(line).empty();
    if (blank)
        return true;
    if (TrimRight(lines[0]) != kHeader)
        return refuse(0, L"the header is not \"Windows Registry Editor Version 5.00\"");

    std::vector<Value>* section = nullptr;
    for (size_t index = 1; index < lines.size(); ++index) {
        std::wstring line = TrimRight(TrimLeft(lines[index]));
        if (line.empty() || line[0] == L';')
            continue;
        if (line[0] == L'[') {
            KeyPath path;
            if (line.back() != L']' || !ParseSectionPath(line.substr(1, line.size() - 2), path)) {
                return refuse(index, L"a key that cannot be read");
            }
            section = &CreateKey(hive, path);
        } else if (line[0] == L'"' || line[0] == L'@') {
            Value value;
            if (section == nullptr)
                return refuse(index, L"a value before any key");
            size_t first = index;
            if (!ParseValue(line, lines, index, value))
                return refuse(first, L"a value that cannot be read");
            SetValue(*section, std::move(value));
        } else {
            return refuse(index, L"neither a key, a value nor a comment");
        }
    }
    return true;
}

}  // namespace platform::posix::reg_text
