// HKEY_CURRENT_USER on Linux: one text file in the format of registry exports (see reg_text.h),
// ${XDG_CONFIG_HOME:-$HOME/.config}/Korvane/HKEY_CURRENT_USER.reg, which `reg import` also
// accepts on Windows and Wine.
//
// The file itself, its lock and its atomic replacement are hive_file.cpp's; this file gives the
// registry's keys and values on top of it.
#include "platform/registry.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <functional>

#include "base/utf8.h"
#include "platform/debug_output.h"
#include "platform/posix/hive_file.h"
#include "platform/posix/internal.h"
#include "platform/posix/reg_text.h"

namespace platform::registry {
namespace {

using posix::hive_file::ChangeHive;
using posix::hive_file::ReadHive;
using posix::reg_text::CreateKey;
using posix::reg_text::DecodeUtf16Le;
using posix::reg_text::EncodeUtf16Le;
using posix::reg_text::FindValue;
using posix::reg_text::FormatHex;
using posix::reg_text::Hive;
using posix::reg_text::IsPrefix;
using posix::reg_text::IsSingleLine;
using posix::reg_text::KeyPath;
using posix::reg_text::kTypeDword;
using posix::reg_text::kTypeExpandString;
using posix::reg_text::kTypeString;
using posix::reg_text::SetValue;
using posix::reg_text::SplitKeyPath;
using posix::reg_text::Value;
using posix::reg_text::ValueName;

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
