// On Linux the narrow code page is UTF-8.
#include "platform/code_page.h"

#include "base/utf8.h"

namespace platform {

std::string WideToAnsi(const std::wstring& text) {
    std::string out;
    return utf8::Encode(text, out) ? out : std::string();
}

std::wstring AnsiToWide(const std::string& text) {
    std::wstring out;
    return utf8::Decode(text, out) ? out : std::wstring();
}

}  // namespace platform
