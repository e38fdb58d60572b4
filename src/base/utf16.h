// UTF-16 encoding of one code point: the single place that forms surrogate pairs, for every
// conversion that writes UTF-16 (wide text on Windows, UTF-16LE registry data, sort keys).
#pragma once

#include <cstdint>
#include <string>

namespace utf16 {

// Hands the code point to `unit` as one UTF-16 code unit, or as a surrogate pair beyond U+FFFF.
template <typename UnitSink>
inline void EncodeCodePoint(uint32_t cp, UnitSink&& unit) {
    if (cp >= 0x10000) {
        cp -= 0x10000;
        unit(static_cast<uint16_t>(0xD800 + (cp >> 10)));
        unit(static_cast<uint16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
        unit(static_cast<uint16_t>(cp));
    }
}

// Appends the code point to wide text: as itself where wchar_t holds any code point (Linux), as
// UTF-16 where it has 16 bits (Windows).
inline void AppendCodePoint(std::wstring& text, uint32_t cp) {
    if (sizeof(wchar_t) == 2)
        EncodeCodePoint(cp, [&text](uint16_t unit) { text += static_cast<wchar_t>(unit); });
    else
        text += static_cast<wchar_t>(cp);
}

}  // namespace utf16
