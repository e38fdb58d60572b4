// A small printf engine for wide text. The number conversions are delegated one at a time to the
// C library's snprintf, so that they match printf exactly; only the string conversions and the
// assembly of the result are done here, which gives %s the same meaning on both targets.
#include "common/format.h"

#include <cstdint>
#include <cstdio>
#include <cwchar>

namespace {

void AppendNarrow(std::wstring& out, const char* text, int length) {
    for (int i = 0; i < length; ++i)
        out += static_cast<wchar_t>(static_cast<unsigned char>(text[i]));
}

// Formats one numeric conversion with snprintf and appends it.
template <typename T>
void AppendNumber(std::wstring& out, const std::string& directive, T value) {
    char small[128];
    int length = std::snprintf(small, sizeof(small), directive.c_str(), value);
    if (length < 0)
        return;
    if (static_cast<size_t>(length) < sizeof(small)) {
        AppendNarrow(out, small, length);
        return;
    }
    std::string large(static_cast<size_t>(length) + 1, '\0');
    std::snprintf(large.data(), large.size(), directive.c_str(), value);
    AppendNarrow(out, large.data(), length);
}

void AppendPadded(std::wstring& out, const wchar_t* text, size_t length, int width, bool left) {
    size_t pad = width > 0 && static_cast<size_t>(width) > length ? width - length : 0;
    if (!left)
        out.append(pad, L' ');
    out.append(text, length);
    if (left)
        out.append(pad, L' ');
}

}  // namespace

std::wstring VFormatWide(const wchar_t* format, va_list args) {
    std::wstring out;
    if (format == nullptr)
        return out;
    va_list ap;
    va_copy(ap, args);
    const wchar_t* p = format;
    while (*p != L'\0') {
        if (*p != L'%') {
            out += *p++;
            continue;
        }
        const wchar_t* start = p++;
        if (*p == L'%') {
            out += L'%';
            ++p;
            continue;
        }
        std::string directive = "%";
        bool left = false;
        while (*p == L'-' || *p == L'+' || *p == L' ' || *p == L'#' || *p == L'0') {
            if (*p == L'-')
                left = true;
            directive += static_cast<char>(*p++);
        }
        int width = -1;
        if (*p == L'*') {
            width = va_arg(ap, int);
            if (width < 0) {
                left = true;
                directive += '-';
                width = -width;
            }
            directive += std::to_string(width);
            ++p;
        } else {
            while (*p >= L'0' && *p <= L'9') {
                width = (width < 0 ? 0 : width) * 10 + (*p - L'0');
                directive += static_cast<char>(*p++);
            }
        }
        int precision = -1;
        if (*p == L'.') {
            directive += '.';
            ++p;
            precision = 0;
            if (*p == L'*') {
                precision = va_arg(ap, int);
                if (precision < 0) {
                    precision = -1;
                    directive.pop_back();
                } else {
                    directive += std::to_string(precision);
                }
                ++p;
            } else {
                while (*p >= L'0' && *p <= L'9') {
                    precision = precision * 10 + (*p - L'0');
                    directive += static_cast<char>(*p++);
                }
            }
        }
        // Length modifiers: h, hh, l, ll, z, and the Windows I64.
        int longs = 0;
        bool half = false, size = false;
        for (;;) {
            if (*p == L'h') {
                half = true;
                ++p;
            } else if (*p == L'l') {
                ++longs;
                ++p;
            } else if (*p == L'z') {
                size = true;
                ++p;
            } else if (p[0] == L'I' && p[1] == L'6' && p[2] == L'4') {
                longs = 2;
                p += 3;
            } else {
                break;
            }
        }
        wchar_t conversion = *p;
        if (conversion == L'\0') {
            out.append(start);  // An incomplete conversion at the end is written as it stands.
            break;
        }
        ++p;
        switch (conversion) {
            case L'd':
            case L'i':
                if (size) {
                    AppendNumber(out, directive + "zd", va_arg(ap, ptrdiff_t));
                } else if (longs >= 2) {
                    AppendNumber(out, directive + "lld", va_arg(ap, long long));
                } else if (longs == 1) {
                    AppendNumber(out, directive + "ld", va_arg(ap, long));
                } else {
                    int value = va_arg(ap, int);
                    AppendNumber(out, directive + "d", half ? static_cast<short>(value) : value);
                }
                break;
            case L'u':
            case L'x':
            case L'X':
            case L'o': {
                char c = static_cast<char>(conversion);
                if (size) {
                    AppendNumber(out, directive + "z" + c, va_arg(ap, size_t));
                } else if (longs >= 2) {
                    AppendNumber(out, directive + "ll" + c, va_arg(ap, unsigned long long));
                } else if (longs == 1) {
                    AppendNumber(out, directive + "l" + c, va_arg(ap, unsigned long));
                } else {
                    unsigned value = va_arg(ap, unsigned);
                    AppendNumber(out, directive + c,
                                 half ? static_cast<unsigned short>(value) : value);
                }
                break;
            }
            case L'f':
            case L'F':
            case L'e':
            case L'E':
            case L'g':
            case L'G':
            case L'a':
            case L'A':
                AppendNumber(out, directive + static_cast<char>(conversion), va_arg(ap, double));
                break;
            case L'p':
                AppendNumber(out, directive + "p", va_arg(ap, void*));
                break;
            case L'c':
            case L'C': {
                wchar_t c = static_cast<wchar_t>(va_arg(ap, int));
                AppendPadded(out, &c, 1, width, left);
                break;
            }
            case L's':
            case L'S': {
                const wchar_t* text = va_arg(ap, const wchar_t*);
                if (text == nullptr)
                    text = L"(null)";
                size_t length = std::wcslen(text);
                if (precision >= 0 && static_cast<size_t>(precision) < length)
                    length = precision;
                AppendPadded(out, text, length, width, left);
                break;
            }
            default:
                // Unknown conversions are written as they stand and consume no argument.
                out.append(start, p);
                break;
        }
    }
    va_end(ap);
    return out;
}

std::wstring FormatWide(const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    std::wstring out = VFormatWide(format, args);
    va_end(args);
    return out;
}

size_t FormatBounded(wchar_t* buffer, size_t bufferChars, const wchar_t* format, ...) {
    if (buffer == nullptr || bufferChars == 0)
        return 0;
    va_list args;
    va_start(args, format);
    std::wstring text = VFormatWide(format, args);
    va_end(args);
    size_t length = text.size() < bufferChars - 1 ? text.size() : bufferChars - 1;
    text.copy(buffer, length);
    buffer[length] = L'\0';
    return length;
}

std::wstring FormatCut(size_t bufferChars, const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    std::wstring text = VFormatWide(format, args);
    va_end(args);
    if (bufferChars == 0)
        return std::wstring();
    if (text.size() > bufferChars - 1)
        text.resize(bufferChars - 1);
    return text;
}
