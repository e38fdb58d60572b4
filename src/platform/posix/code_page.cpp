// On Linux the narrow code page is UTF-8.
#include "platform/code_page.h"

#include "base/utf8.h"

namespace platform {

std::string WideToAnsi(const std::wstring& text) {
    std::string out;
    return utf8::Encode(text, out) ? out : std::string();
}

// As the Windows conversion does, a byte that does not decode becomes U+FFFD and the rest of the
// text is kept.
std::wstring AnsiToWide(const std::string& text) {
    std::wstring out;
    utf8::Decode(text, out, true);
    return out;
}

}  // namespace platform
