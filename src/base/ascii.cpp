#include "base/ascii.h"

namespace {

wchar_t LowerAscii(wchar_t c) {
    return c >= L'A' && c <= L'Z' ? c - L'A' + L'a' : c;
}

}  // namespace

std::wstring ToLowerAscii(std::wstring text) {
    for (wchar_t& c : text)
        c = LowerAscii(c);
    return text;
}

std::string ToLowerAscii(std::string text) {
    for (char& c : text)
        c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    return text;
}

int CompareIgnoreCaseAscii(const std::wstring& a, const std::wstring& b) {
    size_t n = a.size() < b.size() ? a.size() : b.size();
    for (size_t i = 0; i < n; ++i) {
        wchar_t x = LowerAscii(a[i]);
        wchar_t y = LowerAscii(b[i]);
        if (x != y)
            return x < y ? -1 : 1;
    }
    if (a.size() == b.size())
        return 0;
    return a.size() < b.size() ? -1 : 1;
}

bool EqualsIgnoreCaseAscii(const std::wstring& a, const std::wstring& b) {
    return a.size() == b.size() && CompareIgnoreCaseAscii(a, b) == 0;
}

bool EndsWithIgnoreCaseAscii(const std::wstring& text, const std::wstring& suffix) {
    return text.size() >= suffix.size() &&
           EqualsIgnoreCaseAscii(text.substr(text.size() - suffix.size()), suffix);
}
