// The text of a hive as regedit exports it: "Windows Registry Editor Version 5.00", each key's
// section and its values, strings quoted with the .reg escapes and other kinds as hex lists.
#include <cstddef>
#include <string>

#include "base/utf16.h"
#include "base/utf8.h"
#include "platform/posix/reg_text.h"

namespace platform::posix::reg_text {

namespace {

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

}  // namespace

std::wstring ValueName(const std::wstring& name) {
    return name.empty() ? L"@" : Quote(name);
}

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

}  // namespace platform::posix::reg_text
