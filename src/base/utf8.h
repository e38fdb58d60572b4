// UTF-8 encoding and decoding of wide text, independent of the width of wchar_t (UTF-16 on
// Windows, UTF-32 on Linux). Used where bytes must be the same on both targets.
#pragma once

#include <cstdint>
#include <string>

#include "base/utf16.h"

namespace utf8 {

// Encodes wide text; false (and `out` unspecified) for an unpaired surrogate or a code point
// beyond U+10FFFF.
inline bool Encode(const std::wstring& text, std::string& out) {
    out.clear();
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        uint32_t cp = static_cast<uint32_t>(text[i]);
        if (sizeof(wchar_t) == 2 && cp >= 0xD800 && cp <= 0xDBFF) {
            if (i + 1 >= text.size())
                return false;
            uint32_t low = static_cast<uint32_t>(text[i + 1]);
            if (low < 0xDC00 || low > 0xDFFF)
                return false;
            cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
            ++i;
        } else if (cp >= 0xD800 && cp <= 0xDFFF) {
            return false;
        }
        if (cp < 0x80) {
            out += static_cast<char>(cp);
        } else if (cp < 0x800) {
            out += static_cast<char>(0xC0 | (cp >> 6));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            out += static_cast<char>(0xE0 | (cp >> 12));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp <= 0x10FFFF) {
            out += static_cast<char>(0xF0 | (cp >> 18));
            out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            return false;
        }
    }
    return true;
}

// Decodes UTF-8; false for malformed input (overlong forms, surrogates, truncated sequences).
// With `replaceInvalid`, each byte that does not start a well-formed sequence becomes U+FFFD
// instead and the rest is decoded, so the result is always true.
inline bool Decode(const std::string& bytes, std::wstring& out, bool replaceInvalid = false) {
    out.clear();
    out.reserve(bytes.size());
    size_t i = 0;
    while (i < bytes.size()) {
        uint8_t lead = static_cast<uint8_t>(bytes[i]);
        uint32_t cp = 0;
        size_t extra = 0;
        bool valid = true;
        if (lead < 0x80) {
            cp = lead;
        } else if (lead >= 0xC2 && lead <= 0xDF) {
            cp = lead & 0x1F;
            extra = 1;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            cp = lead & 0x0F;
            extra = 2;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            cp = lead & 0x07;
            extra = 3;
        } else {
            valid = false;
        }
        if (valid && i + extra >= bytes.size())
            valid = false;
        for (size_t k = 1; valid && k <= extra; ++k) {
            uint8_t next = static_cast<uint8_t>(bytes[i + k]);
            if ((next & 0xC0) != 0x80)
                valid = false;
            cp = (cp << 6) | (next & 0x3F);
        }
        if (valid &&
            ((extra == 2 && cp < 0x800) || (extra == 3 && (cp < 0x10000 || cp > 0x10FFFF)) ||
             (cp >= 0xD800 && cp <= 0xDFFF))) {
            valid = false;
        }
        if (!valid) {
            if (!replaceInvalid)
                return false;
            out += static_cast<wchar_t>(0xFFFD);
            ++i;
            continue;
        }
        utf16::AppendCodePoint(out, cp);
        i += extra + 1;
    }
    return true;
}

}  // namespace utf8
