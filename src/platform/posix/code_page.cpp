// On Linux the narrow code page is UTF-8. Narrow texts come from file names, the environment and
// the command line, which are bytes and need not be valid UTF-8: a byte that does not decode
// travels in the wide text as the lone surrogate U+DC80..U+DCFF and becomes that byte again on
// the way back, so a path like /home/h\xE9 reaches the file system exactly as it was given.
#include "platform/code_page.h"

#include "base/utf8.h"

namespace platform {

namespace {

constexpr wchar_t kEscapeFirst = 0xDC80;
constexpr wchar_t kEscapeLast = 0xDCFF;

bool IsEscapedByte(wchar_t c) {
    return c >= kEscapeFirst && c <= kEscapeLast;
}

// The length of the valid UTF-8 sequence at `at`, or 0 when the byte there does not begin one.
size_t ValidSequenceLength(const std::string& text, size_t at) {
    uint8_t lead = static_cast<uint8_t>(text[at]);
    size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
    std::wstring decoded;
    if (at + length > text.size() || !utf8::Decode(text.substr(at, length), decoded))
        return 0;
    return length;
}

}  // namespace

std::string WideToAnsi(const std::wstring& text) {
    std::string out;
    out.reserve(text.size());
    size_t start = 0;
    while (start < text.size()) {
        size_t end = start;
        while (end < text.size() && !IsEscapedByte(text[end]))
            ++end;
        std::string part;
        if (!utf8::Encode(text.substr(start, end - start), part))
            return std::string();
        out += part;
        for (; end < text.size() && IsEscapedByte(text[end]); ++end)
            out += static_cast<char>(text[end] - kEscapeFirst + 0x80);
        start = end;
    }
    return out;
}

std::wstring AnsiToWide(const std::string& text) {
    std::wstring out;
    if (utf8::Decode(text, out))
        return out;
    out.clear();
    for (size_t i = 0; i < text.size();) {
        size_t length = ValidSequenceLength(text, i);
        if (length == 0) {
            out += static_cast<wchar_t>(kEscapeFirst + static_cast<uint8_t>(text[i]) - 0x80);
            ++i;
            continue;
        }
        std::wstring decoded;
        utf8::Decode(text.substr(i, length), decoded);
        out += decoded;
        i += length;
    }
    return out;
}

std::string WideToNarrowPath(const std::wstring& path) {
    return WideToAnsi(path);
}

std::wstring NarrowPathToWide(const std::string& path) {
    return AnsiToWide(path);
}

}  // namespace platform
