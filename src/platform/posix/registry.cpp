// HKEY_CURRENT_USER on Linux: one text file in the format of registry exports ("Windows Registry
// Editor Version 5.00", UTF-8), ${XDG_CONFIG_HOME:-$HOME/.config}/Korvane/HKEY_CURRENT_USER.reg,
// which `reg import` also accepts on Windows and Wine.
//
// Every access holds an flock on HKEY_CURRENT_USER.reg.lock beside it, a file that is never
// replaced: shared to read, exclusive to change. A change reads the file, applies itself and
// replaces the file through a temporary file, fsync and rename, so that concurrent changes from
// several processes all land and a crash never leaves a truncated hive. A file that cannot be
// parsed is never overwritten: reads and changes fail until someone repairs it.
//
// Accepted syntax: blank lines, ';' comments, sections `[HKEY_CURRENT_USER\...]`, values
// `"name"="text"`, `"name"=dword:XXXXXXXX`, `"name"=hex:...` and `"name"=hex(N):...` with
// continuation lines ending in '\', and `@=` for the default value (the value named ""). Removal
// lines (`[-HKEY_...]`, `"name"=-`) describe an import rather than a hive and are rejected as
// unparseable. Comments are not kept when the file is rewritten; hex values are, verbatim.
#include "platform/registry.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <functional>
#include <map>
#include <string_view>

#include "base/ascii.h"
#include "base/utf8.h"
#include "platform/posix/internal.h"

namespace platform::registry {
namespace {

constexpr wchar_t kHeader[] = L"Windows Registry Editor Version 5.00";
constexpr wchar_t kRoot[] = L"HKEY_CURRENT_USER";
constexpr char kFileName[] = "HKEY_CURRENT_USER.reg";
// Windows limits key names to 255 characters; the same limit keeps the file importable there.
constexpr size_t kMaxKeyNameChars = 255;

constexpr uint32_t kTypeString = 1;        // REG_SZ
constexpr uint32_t kTypeExpandString = 2;  // REG_EXPAND_SZ
constexpr uint32_t kTypeBinary = 3;        // REG_BINARY, written as plain "hex:"
constexpr uint32_t kTypeDword = 4;         // REG_DWORD

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

wchar_t FoldAscii(wchar_t c) {
    return c >= L'a' && c <= L'z' ? c - (L'a' - L'A') : c;
}

// Names compare as Windows compares them: UTF-16 code unit by code unit, ASCII letters
// upper-cased (so "aB" sorts before "a_").
std::u16string SortKey(const std::wstring& name) {
    std::u16string key;
    key.reserve(name.size());
    for (wchar_t c : name) {
        uint32_t cp = static_cast<uint32_t>(FoldAscii(c));
        if (cp >= 0x10000) {
            key += static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10));
            key += static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF));
        } else {
            key += static_cast<char16_t>(cp);
        }
    }
    return key;
}

// Key and value names match without regard to ASCII case, as Windows matches them.
bool SameName(const std::wstring& a, const std::wstring& b) {
    return EqualsIgnoreCaseAscii(a, b);
}

struct KeyPathLess {
    bool operator()(const KeyPath& a, const KeyPath& b) const {
        for (size_t i = 0; i < a.size() && i < b.size(); ++i) {
            if (SameName(a[i], b[i]))
                continue;
            return SortKey(a[i]) < SortKey(b[i]);
        }
        return a.size() < b.size();
    }
};

// Keys in tree order: every key comes before its subkeys, which follow it contiguously. The root
// itself (the empty path) is present only when it holds values.
using Hive = std::map<KeyPath, std::vector<Value>, KeyPathLess>;

bool IsPrefix(const KeyPath& prefix, const KeyPath& path) {
    if (prefix.size() > path.size())
        return false;
    for (size_t i = 0; i < prefix.size(); ++i) {
        if (!SameName(prefix[i], path[i]))
            return false;
    }
    return true;
}

// Names and text that fit on one line of the file.
bool IsSingleLine(const std::wstring& text) {
    return text.find_first_of(std::wstring(L"\r\n\0", 3)) == std::wstring::npos;
}

// Splits "A\B\C" or "A\B\C\" into its components; "" is the root. Empty components and names
// that cannot be written fail.
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

// Adds the key and its missing parents, keeping the case of the names already there.
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

// Stores the value, replacing one of the same name but keeping that name's case.
void SetValue(std::vector<Value>& values, Value value) {
    auto it = FindValue(values, value.name);
    if (it == values.end()) {
        values.push_back(std::move(value));
    } else {
        value.name = std::move(it->name);
        *it = std::move(value);
    }
}

// ---- UTF-16LE data of REG_SZ and REG_EXPAND_SZ values written in hex form ----

bool EncodeUtf16Le(const std::wstring& text, std::vector<uint8_t>& bytes) {
    bytes.clear();
    auto unit = [&bytes](uint32_t u) {
        bytes.push_back(static_cast<uint8_t>(u & 0xFF));
        bytes.push_back(static_cast<uint8_t>(u >> 8));
    };
    for (wchar_t c : text) {
        uint32_t cp = static_cast<uint32_t>(c);
        if ((cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF)
            return false;
        if (cp >= 0x10000) {
            unit(0xD800 + ((cp - 0x10000) >> 10));
            unit(0xDC00 + ((cp - 0x10000) & 0x3FF));
        } else {
            unit(cp);
        }
    }
    return true;
}

// Decodes up to the first NUL, as a string read from the registry ends there.
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
        if (sizeof(wchar_t) == 2 && cp >= 0x10000) {
            cp -= 0x10000;
            text += static_cast<wchar_t>(0xD800 + (cp >> 10));
            text += static_cast<wchar_t>(0xDC00 + (cp & 0x3FF));
        } else {
            text += static_cast<wchar_t>(cp);
        }
    }
    return true;
}

// Replaces %NAME% with the environment variable's value; unknown names stay as they are.
std::wstring ExpandEnvironment(const std::wstring& text) {
    std::wstring out;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t open = text.find(L'%', pos);
        size_t close = open == std::wstring::npos ? open : text.find(L'%', open + 1);
        if (close == std::wstring::npos) {
            out.append(text, pos, std::wstring::npos);
            break;
        }
        out.append(text, pos, open - pos);
        std::string name;
        std::wstring expanded;
        const char* found = nullptr;
        if (close > open + 1 && utf8::Encode(text.substr(open + 1, close - open - 1), name)) {
            found = std::getenv(name.c_str());
        }
        if (found != nullptr && utf8::Decode(found, expanded)) {
            out += expanded;
        } else {
            out.append(text, open, close - open + 1);
        }
        pos = close + 1;
    }
    return out;
}

// Characters a Windows buffer needs for the text: code points beyond the BMP take two.
size_t Utf16Length(const std::wstring& text) {
    size_t length = text.size();
    for (wchar_t c : text) {
        if (static_cast<uint32_t>(c) >= 0x10000)
            ++length;
    }
    return length;
}

// ---- Parsing ----

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
        std::wstring digits = data.substr(6);
        if (digits.size() != 8)
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

bool ParseHive(const std::string& bytes, Hive& hive) {
    hive.clear();
    std::string_view body = bytes;
    if (body.substr(0, 3) == "\xEF\xBB\xBF")
        body.remove_prefix(3);
    std::wstring text;
    if (!utf8::Decode(std::string(body), text))
        return false;

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
        return false;

    std::vector<Value>* section = nullptr;
    for (size_t index = 1; index < lines.size(); ++index) {
        std::wstring line = TrimRight(TrimLeft(lines[index]));
        if (line.empty() || line[0] == L';')
            continue;
        if (line[0] == L'[') {
            KeyPath path;
            if (line.back() != L']' || !ParseSectionPath(line.substr(1, line.size() - 2), path)) {
                return false;
            }
            section = &CreateKey(hive, path);
        } else if (line[0] == L'"' || line[0] == L'@') {
            Value value;
            if (section == nullptr || !ParseValue(line, lines, index, value))
                return false;
            SetValue(*section, std::move(value));
        } else {
            return false;
        }
    }
    return true;
}

// ---- Writing ----

constexpr wchar_t kHexDigits[] = L"0123456789abcdef";

std::wstring Quote(const std::wstring& text) {
    std::wstring out = L"\"";
    for (wchar_t c : text) {
        if (c == L'\\' || c == L'"')
            out += L'\\';
        out += c;
    }
    return out + L"\"";
}

std::wstring ValueName(const std::wstring& name) {
    return name.empty() ? L"@" : Quote(name);
}

// "hex(N):xx,xx,..." wrapped as exports wrap it: lines of at most 80 characters ending in ",\",
// continuation lines indented by two spaces. `column` is where the data starts on its line.
std::wstring FormatHex(uint32_t type, const std::vector<uint8_t>& bytes, size_t column) {
    std::wstring out = type == kTypeBinary ? L"hex:" : L"hex(";
    if (type != kTypeBinary) {
        std::wstring digits;
        for (uint32_t t = type; digits.empty() || t != 0; t >>= 4)
            digits.insert(0, 1, kHexDigits[t & 15]);
        out += digits + L"):";
    }
    column += out.size();
    for (size_t i = 0; i < bytes.size(); ++i) {
        bool last = i + 1 == bytes.size();
        if (column + (last ? 2 : 3) > 78) {  // room for the ",\" that ends the line
            out += L"\\\n  ";
            column = 2;
        }
        out += kHexDigits[bytes[i] >> 4];
        out += kHexDigits[bytes[i] & 15];
        if (!last)
            out += L',';
        column += last ? 2 : 3;
    }
    return out;
}

std::wstring FormatHive(const Hive& hive) {
    std::wstring out = std::wstring(kHeader) + L"\n\n";
    for (const auto& [path, values] : hive) {
        if (path.empty() && values.empty())
            continue;
        out += L"[";
        out += kRoot;
        for (const auto& part : path)
            out += L"\\" + part;
        out += L"]\n";
        for (const auto& value : values) {
            out += ValueName(value.name) + L"=";
            switch (value.kind) {
                case Value::Kind::kString:
                    out += Quote(value.text);
                    break;
                case Value::Kind::kDword:
                    out += L"dword:";
                    for (int shift = 28; shift >= 0; shift -= 4) {
                        out += kHexDigits[(value.dword >> shift) & 15];
                    }
                    break;
                case Value::Kind::kHex:
                    out += value.raw;
                    break;
            }
            out += L"\n";
        }
        out += L"\n";
    }
    return out;
}

// ---- The file and its lock ----

class Descriptor {
  public:
    explicit Descriptor(int fd = -1) : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0)
            close(fd_);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return fd_; }
    // Closes now, reporting the error a delayed write may surface there.
    bool Close() {
        int fd = fd_;
        fd_ = -1;
        return close(fd) == 0;
    }

  private:
    int fd_;
};

std::string HiveFolder() {
    return posix::EnvironmentOr("XDG_CONFIG_HOME", posix::HomeFolder() + "/.config") + "/Korvane";
}

bool CreateFolders(const std::string& folder) {
    for (size_t slash = folder.find('/', 1);; slash = folder.find('/', slash + 1)) {
        std::string part = folder.substr(0, slash);
        if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST)
            return false;
        if (slash == std::string::npos)
            return true;
    }
}

bool ReadAll(int fd, std::string& bytes) {
    bytes.clear();
    char buffer[16384];
    while (true) {
        ssize_t got = read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return false;
        if (got == 0)
            return true;
        bytes.append(buffer, static_cast<size_t>(got));
    }
}

bool WriteAll(int fd, const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t put = write(fd, bytes.data() + done, bytes.size() - done);
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0)
            return false;
        done += static_cast<size_t>(put);
    }
    return true;
}

// Loads the hive; a missing file is an empty hive. `mode` receives the file's permissions.
bool LoadHive(const std::string& file, Hive& hive, mode_t& mode) {
    hive.clear();
    Descriptor fd(open(file.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0)
        return errno == ENOENT;
    struct stat info {};
    if (fstat(fd.get(), &info) == 0)
        mode = info.st_mode & 07777;
    std::string bytes;
    return ReadAll(fd.get(), bytes) && ParseHive(bytes, hive);
}

// Replaces the file atomically; the caller holds the exclusive lock, so the temporary name is
// ours alone.
bool StoreHive(const std::string& folder, const std::string& file, const Hive& hive, mode_t mode) {
    std::string bytes;
    if (!utf8::Encode(FormatHive(hive), bytes))
        return false;
    std::string temporary = file + ".tmp";
    unlink(temporary.c_str());  // left behind by a writer that crashed
    Descriptor fd(open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode));
    if (fd.get() < 0)
        return false;
    bool written = fchmod(fd.get(), mode) == 0 && WriteAll(fd.get(), bytes) &&
                   fsync(fd.get()) == 0 && fd.Close();
    if (!written || rename(temporary.c_str(), file.c_str()) != 0) {
        unlink(temporary.c_str());
        return false;
    }
    // Makes the rename itself durable. The new file is in place either way, so a folder that
    // cannot be synced does not make the change fail.
    Descriptor dir(open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.get() >= 0)
        fsync(dir.get());
    return true;
}

// Runs `apply` on the hive under the lock. With `change`, the hive that `apply` leaves is
// written back when it returns true; when it returns false the file is not touched.
bool AccessHive(bool change, const std::function<bool(Hive&)>& apply) {
    std::string folder = HiveFolder();
    std::string file = folder + "/" + kFileName;
    std::string lockFile = file + ".lock";
    if (change && !CreateFolders(folder))
        return false;

    int lockFd = open(lockFile.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (lockFd < 0 && !change) {
        if (errno == ENOENT) {
            // No folder, so no hive: reading creates neither.
            Hive empty;
            return apply(empty);
        }
        // A folder we may not write in: a shared lock works on a read-only descriptor too.
        lockFd = open(lockFile.c_str(), O_RDONLY | O_CLOEXEC);
    }
    Descriptor lock(lockFd);
    if (lock.get() < 0)
        return false;
    while (flock(lock.get(), change ? LOCK_EX : LOCK_SH) != 0) {
        if (errno != EINTR)
            return false;
    }

    Hive hive;
    mode_t mode = 0600;
    if (!LoadHive(file, hive, mode) || !apply(hive))
        return false;
    return !change || StoreHive(folder, file, hive, mode);
}

bool ReadHive(const std::function<bool(Hive&)>& apply) {
    return AccessHive(false, apply);
}
bool ChangeHive(const std::function<bool(Hive&)>& apply) {
    return AccessHive(true, apply);
}

const Value* LookUp(Hive& hive, const KeyPath& path, const std::wstring& name) {
    auto key = hive.find(path);
    if (key == hive.end())
        return nullptr;
    auto value = FindValue(key->second, name);
    return value == key->second.end() ? nullptr : &*value;
}

bool WriteValue(const std::wstring& key, Value value) {
    KeyPath path;
    if (!SplitKeyPath(key, path) || !IsSingleLine(value.name))
        return false;
    return ChangeHive([&](Hive& hive) {
        SetValue(CreateKey(hive, path), std::move(value));
        return true;
    });
}

}  // namespace

bool ReadString(const std::wstring& key, const std::wstring& name, size_t bufferChars,
                std::wstring& value) {
    KeyPath path;
    if (!SplitKeyPath(key, path))
        return false;
    std::wstring text;
    bool found = ReadHive([&](Hive& hive) {
        const Value* stored = LookUp(hive, path, name);
        if (stored == nullptr)
            return false;
        if (stored->kind == Value::Kind::kString) {
            text = stored->text;
        } else if (stored->kind != Value::Kind::kHex ||
                   (stored->type != kTypeString && stored->type != kTypeExpandString) ||
                   !DecodeUtf16Le(stored->bytes, text)) {
            return false;
        } else if (stored->type == kTypeExpandString) {
            // The unexpanded text must fit the buffer as well, as it is read into it first.
            if (Utf16Length(text) >= bufferChars)
                return false;
            text = ExpandEnvironment(text);
        }
        return Utf16Length(text) < bufferChars;
    });
    if (found)
        value = std::move(text);
    return found;
}

bool ReadDword(const std::wstring& key, const std::wstring& name, uint32_t& value) {
    KeyPath path;
    if (!SplitKeyPath(key, path))
        return false;
    uint32_t number = 0;
    bool found = ReadHive([&](Hive& hive) {
        const Value* stored = LookUp(hive, path, name);
        if (stored == nullptr)
            return false;
        if (stored->kind == Value::Kind::kDword) {
            number = stored->dword;
            return true;
        }
        // hex(4): a DWORD in its little-endian bytes.
        if (stored->kind != Value::Kind::kHex || stored->type != kTypeDword ||
            stored->bytes.size() != 4) {
            return false;
        }
        for (int i = 3; i >= 0; --i)
            number = (number << 8) | stored->bytes[static_cast<size_t>(i)];
        return true;
    });
    if (found)
        value = number;
    return found;
}

bool WriteString(const std::wstring& key, const std::wstring& name, const std::wstring& value) {
    Value stored;
    stored.name = name;
    if (IsSingleLine(value)) {
        stored.text = value;
    } else {
        // Line breaks and NULs cannot stand inside quotes: such text is written as REG_SZ bytes.
        stored.kind = Value::Kind::kHex;
        stored.type = kTypeString;
        if (!EncodeUtf16Le(value + L'\0', stored.bytes))
            return false;
        stored.raw = FormatHex(kTypeString, stored.bytes, ValueName(name).size() + 1);
    }
    return WriteValue(key, std::move(stored));
}

bool WriteDword(const std::wstring& key, const std::wstring& name, uint32_t value) {
    Value stored;
    stored.name = name;
    stored.kind = Value::Kind::kDword;
    stored.dword = value;
    return WriteValue(key, std::move(stored));
}

bool DeleteValue(const std::wstring& key, const std::wstring& name) {
    KeyPath path;
    if (!SplitKeyPath(key, path))
        return false;
    return ChangeHive([&](Hive& hive) {
        auto stored = hive.find(path);
        if (stored == hive.end())
            return false;
        auto value = FindValue(stored->second, name);
        if (value == stored->second.end())
            return false;
        stored->second.erase(value);
        return true;
    });
}

bool DeleteKeyTree(const std::wstring& key) {
    KeyPath path;
    // The root itself is never deleted.
    if (!SplitKeyPath(key, path) || path.empty())
        return false;
    return ChangeHive([&](Hive& hive) {
        auto it = hive.find(path);
        if (it == hive.end())
            return false;
        while (it != hive.end() && IsPrefix(path, it->first))
            it = hive.erase(it);
        return true;
    });
}

bool KeyExists(const std::wstring& key) {
    KeyPath path;
    if (!SplitKeyPath(key, path))
        return false;
    return ReadHive([&](Hive& hive) { return path.empty() || hive.count(path) != 0; });
}

bool EnumSubkeys(const std::wstring& key, std::vector<std::wstring>& names) {
    KeyPath path;
    if (!SplitKeyPath(key, path))
        return false;
    std::vector<std::wstring> found;
    bool exists = ReadHive([&](Hive& hive) {
        if (!path.empty() && hive.count(path) == 0)
            return false;
        for (auto it = hive.lower_bound(path); it != hive.end() && IsPrefix(path, it->first);
             ++it) {
            if (it->first.size() == path.size() + 1)
                found.push_back(it->first.back());
        }
        return true;
    });
    if (exists)
        names = std::move(found);
    return exists;
}

}  // namespace platform::registry
