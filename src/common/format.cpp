// A small printf engine for wide text. The number conversions are delegated one at a time to the
// C library's snprintf, so that they match printf exactly; only the string conversions and the
// assembly of the result are done here, which gives %s the same meaning on both targets.
#include "common/format.h"

#include <cstdint>
#include <cstdio>
#include <cwchar>
#include <string>

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

// One conversion's directive for snprintf ("%" with its flags, width and precision) and what the
// string conversions and the argument types need to know of it.
struct Conversion {
    std::string directive = "%";
    bool left = false;
    int width = -1;
    int precision = -1;
    int longs = 0;  // the count of 'l' modifiers; I64 counts as two
    bool half = false;
    bool size = false;
};

// Reads the flags, the width and the precision at `p`, taking '*' values from the arguments.
const wchar_t* ParseFlagsWidthPrecision(const wchar_t* p, va_list* ap, Conversion& parsed) {
    std::string& directive = parsed.directive;
    while (*p == L'-' || *p == L'+' || *p == L' ' || *p == L'#' || *p == L'0') {
        if (*p == L'-')
            parsed.left = true;
        directive += static_cast<char>(*p++);
    }
    if (*p == L'*') {
        parsed.width = va_arg(*ap, int);
        if (parsed.width < 0) {
            parsed.left = true;
            directive += '-';
            parsed.width = -parsed.width;
        }
        directive += std::to_string(parsed.width);
        ++p;
    } else {
        while (*p >= L'0' && *p <= L'9') {
            parsed.width = (parsed.width < 0 ? 0 : parsed.width) * 10 + (*p - L'0');
            directive += static_cast<char>(*p++);
        }
    }
    if (*p == L'.') {
        directive += '.';
        ++p;
        parsed.precision = 0;
        if (*p == L'*') {
            parsed.precision = va_arg(*ap, int);
            if (parsed.precision < 0) {
                parsed.precision = -1;
                directive.pop_back();
            } else {
                directive += std::to_string(parsed.precision);
            }
            ++p;
        } else {
            while (*p >= L'0' && *p <= L'9') {
                parsed.precision = parsed.precision * 10 + (*p - L'0');
                directive += static_cast<char>(*p++);
            }
        }
    }
    return p;
}

// Length modifiers: h, hh, l, ll, z, and the Windows I64.
const wchar_t* ParseLength(const wchar_t* p, Conversion& parsed) {
    for (;;) {
        if (*p == L'h') {
            parsed.half = true;
            ++p;
        } else if (*p == L'l') {
            ++parsed.longs;
            ++p;
        } else if (*p == L'z') {
            parsed.size = true;
            ++p;
        } else if (p[0] == L'I' && p[1] == L'6' && p[2] == L'4') {
            parsed.longs = 2;
            p += 3;
        } else {
            return p;
        }
    }
}

void AppendSigned(std::wstring& out, const Conversion& parsed, va_list* ap) {
    const std::string& directive = parsed.directive;
    if (parsed.size) {
        AppendNumber(out, directive + "zd", va_arg(*ap, ptrdiff_t));
    } else if (parsed.longs >= 2) {
        AppendNumber(out, directive + "lld", va_arg(*ap, long long));
    } else if (parsed.longs == 1) {
        AppendNumber(out, directive + "ld", va_arg(*ap, long));
    } else {
        int value = va_arg(*ap, int);
        AppendNumber(out, directive + "d", parsed.half ? static_cast<short>(value) : value);
    }
}

void AppendUnsigned(std::wstring& out, const Conversion& parsed, char c, va_list* ap) {
    const std::string& directive = parsed.directive;
    if (parsed.size) {
        AppendNumber(out, directive + "z" + c, va_arg(*ap, size_t));
    } else if (parsed.longs >= 2) {
        AppendNumber(out, directive + "ll" + c, va_arg(*ap, unsigned long long));
    } else if (parsed.longs == 1) {
        AppendNumber(out, directive + "l" + c, va_arg(*ap, unsigned long));
    } else {
        unsigned value = va_arg(*ap, unsigned);
        AppendNumber(out, directive + c, parsed.half ? static_cast<unsigned short>(value) : value);
    }
}

// Appends one conversion; false for a conversion it does not know, which takes no argument.
bool AppendConversion(std::wstring& out, wchar_t conversion, const Conversion& parsed,
                      va_list* ap) {
    switch (conversion) {
        case L'd':
        case L'i':
            AppendSigned(out, parsed, ap);
            return true;
        case L'u':
        case L'x':
        case L'X':
        case L'o':
            AppendUnsigned(out, parsed, static_cast<char>(conversion), ap);
            return true;
        case L'f':
        case L'F':
        case L'e':
        case L'E':
        case L'g':
        case L'G':
        case L'a':
        case L'A':
            AppendNumber(out, parsed.directive + static_cast<char>(conversion),
                         va_arg(*ap, double));
            return true;
        case L'p':
            AppendNumber(out, parsed.directive + "p", va_arg(*ap, void*));
            return true;
        case L'c':
        case L'C': {
            wchar_t c = static_cast<wchar_t>(va_arg(*ap, int));
            AppendPadded(out, &c, 1, parsed.width, parsed.left);
            return true;
        }
        case L's':
        case L'S': {
            const wchar_t* text = va_arg(*ap, const wchar_t*);
            if (text == nullptr)
                text = L"(null)";
            size_t length = std::wcslen(text);
            if (parsed.precision >= 0 && static_cast<size_t>(parsed.precision) < length)
                length = parsed.precision;
            AppendPadded(out, text, length, parsed.width, parsed.left);
            return true;
        }
        default:
            return false;
    }
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
        Conversion parsed;
        p = ParseLength(ParseFlagsWidthPrecision(p, &ap, parsed), parsed);
        wchar_t conversion = *p;
        if (conversion == L'\0') {
            out.append(start);  // An incomplete conversion at the end is written as it stands.
            break;
        }
        ++p;
        // Unknown conversions are written as they stand and consume no argument.
        if (!AppendConversion(out, conversion, parsed, &ap))
            out.append(start, p);
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
