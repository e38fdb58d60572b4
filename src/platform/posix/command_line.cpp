// The Windows command-line rules, so that a command line means the same on both targets.
#include "platform/command_line.h"

#include "platform/path.h"

namespace platform {

namespace {

bool IsBlank(wchar_t c) {
    return c == L' ' || c == L'\t';
}

}  // namespace

bool SplitCommandLine(const std::wstring& commandLine, std::vector<std::wstring>& arguments) {
    arguments.clear();
    if (commandLine.empty()) {
        arguments.push_back(GetModuleFilePath());
        return true;
    }
    const wchar_t* s = commandLine.c_str();

    // The first token follows the program-name rule: a quoted run up to the next quote, or the
    // text up to the first blank, without any escape processing.
    std::wstring first;
    if (*s == L'"') {
        ++s;
        while (*s != L'\0' && *s != L'"')
            first += *s++;
        if (*s == L'"')
            ++s;
    } else {
        while (*s != L'\0' && !IsBlank(*s))
            first += *s++;
    }
    arguments.push_back(first);
    while (IsBlank(*s))
        ++s;

    // The other tokens: 2n backslashes before a quote give n backslashes and toggle quoting,
    // 2n+1 give n backslashes and a literal quote; backslashes before anything else stay. Inside
    // a quoted run, a pair of quotes gives a literal quote and ends the run.
    while (*s != L'\0') {
        std::wstring argument;
        bool quoted = false;
        while (*s != L'\0' && (quoted || !IsBlank(*s))) {
            if (*s == L'\\') {
                size_t backslashes = 0;
                while (*s == L'\\') {
                    ++backslashes;
                    ++s;
                }
                if (*s == L'"') {
                    argument.append(backslashes / 2, L'\\');
                    if (backslashes % 2 == 1) {
                        argument += L'"';
                        ++s;
                    }
                } else {
                    argument.append(backslashes, L'\\');
                }
            } else if (*s == L'"') {
                ++s;
                if (quoted && *s == L'"') {
                    argument += L'"';
                    ++s;
                    quoted = false;
                } else {
                    quoted = !quoted;
                }
            } else {
                argument += *s++;
            }
        }
        arguments.push_back(argument);
        while (IsBlank(*s))
            ++s;
    }
    return true;
}

}  // namespace platform
