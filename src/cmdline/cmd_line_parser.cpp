#include "cmdline/cmd_line_parser.h"

#include <vector>

#include "common/text.h"
#include "platform/command_line.h"

namespace {

const wchar_t kUrlPrefix[] = L"korvanewebgame://";

bool IsBlankLine(const std::wstring& text) {
    return text.find_first_not_of(L" \t\r\n\v\f") == std::wstring::npos;
}

bool IsArgumentBlank(wchar_t c) {
    return c == L' ' || c == L'\t';
}

// Where the URL form begins: the first argument whose text starts with the scheme, as a browser
// or the shell hands the URL over (alone, or quoted as a whole). The scheme inside an argument is
// part of a value, such as a nickname the user chose, and changes nothing. Arguments are found by
// the splitter's rules: the first one ends at a blank or its closing quote, the others at a blank
// outside quotes. Returns npos when no argument starts with the scheme.
size_t FindUrlPrefix(const std::wstring& line) {
    const size_t prefixChars = sizeof(kUrlPrefix) / sizeof(wchar_t) - 1;
    auto startsHere = [&](size_t at) {
        if (at < line.size() && line[at] == L'"')
            ++at;
        return line.compare(at, prefixChars, kUrlPrefix) == 0 ? at : std::wstring::npos;
    };
    size_t found = startsHere(0);
    if (found != std::wstring::npos)
        return found;
    size_t i = 0;
    if (!line.empty() && line[0] == L'"') {
        i = line.find(L'"', i + 1);
        i = i == std::wstring::npos ? line.size() : i + 1;
    } else {
        while (i < line.size() && !IsArgumentBlank(line[i]))
            ++i;
    }
    for (;;) {
        while (i < line.size() && IsArgumentBlank(line[i]))
            ++i;
        if (i >= line.size())
            return std::wstring::npos;
        found = startsHere(i);
        if (found != std::wstring::npos)
            return found;
        bool quoted = false;
        while (i < line.size() && (quoted || !IsArgumentBlank(line[i]))) {
            if (line[i] == L'\\') {
                size_t backslashes = 0;
                while (i < line.size() && line[i] == L'\\') {
                    ++backslashes;
                    ++i;
                }
                // An odd run escapes the quote after it.
                if (i < line.size() && line[i] == L'"' && backslashes % 2 == 1)
                    ++i;
            } else if (line[i] == L'"') {
                ++i;
                if (quoted && i < line.size() && line[i] == L'"') {
                    ++i;
                    quoted = false;
                } else {
                    quoted = !quoted;
                }
            } else {
                ++i;
            }
        }
    }
}

}  // namespace

bool CCmdLineParser::Parse(const wchar_t* commandLine) {
    if (commandLine == nullptr)
        return false;
    commandLine_ = commandLine;

    size_t prefix = FindUrlPrefix(commandLine_);
    if (prefix != std::wstring::npos) {
        commandLine_ = commandLine_.substr(prefix + (sizeof(kUrlPrefix) / sizeof(wchar_t) - 1));
        commandLine_ += L" -";
        commandLine_ += L"protocol";
    }

    // The Windows splitter turns an empty line into the program's own path, whose '-' or '/'
    // would then read as options; a blank line simply has none.
    std::vector<std::wstring> tokens;
    if (!IsBlankLine(commandLine_) && !platform::SplitCommandLine(commandLine_, tokens)) {
        return false;
    }

    options_.clear();
    for (const std::wstring& token : tokens) {
        if (token.empty())
            continue;
        size_t dash = token.find_first_of(L"-/");
        if (dash == std::wstring::npos || dash + 1 >= token.size())
            continue;
        size_t nameStart = dash + 1;
        size_t separator = token.find_first_of(L" :=", nameStart);
        std::wstring name;
        std::wstring value;
        if (separator == std::wstring::npos) {
            name = token.substr(nameStart);
        } else if (token[separator] == L' ' || separator + 1 == token.size()) {
            name = token.substr(nameStart, separator - nameStart);
        } else {
            name = token.substr(nameStart, separator - nameStart);
            value = token.substr(separator + 1);
        }
        if (name.empty())
            continue;
        if (!caseSensitive_)
            name = ToLowerAscii(name);
        options_.emplace(name, value);  // The first occurrence of a name wins.
    }
    return !options_.empty();
}

std::wstring CCmdLineParser::Key(const wchar_t* name) const {
    std::wstring key = name != nullptr ? name : L"";
    return caseSensitive_ ? key : ToLowerAscii(key);
}

const std::wstring* CCmdLineParser::Find(const wchar_t* name) const {
    auto it = options_.find(Key(name));
    return it == options_.end() ? nullptr : &it->second;
}

bool CCmdLineParser::HasOption(const wchar_t* name) const {
    return Find(name) != nullptr;
}

bool CCmdLineParser::HasValue(const wchar_t* name) const {
    const std::wstring* value = Find(name);
    return value != nullptr && !value->empty();
}

bool CCmdLineParser::GetValue(const wchar_t* name, std::wstring& out) const {
    const std::wstring* value = Find(name);
    if (value == nullptr)
        return false;
    out = *value;
    return true;
}

const wchar_t* CCmdLineParser::GetValuePtr(const wchar_t* name) const {
    const std::wstring* value = Find(name);
    return value == nullptr ? nullptr : value->c_str();
}

bool CCmdLineParser::SetValue(const wchar_t* name, const std::wstring& value) {
    auto it = options_.find(Key(name));
    if (it == options_.end())
        return false;
    it->second = value;
    return true;
}

const wchar_t* CCmdLineParser::GetCmdLine() const {
    return commandLine_.c_str();
}

std::wstring CCmdLineParser::QuoteArgument(const std::wstring& argument, bool force) const {
    return QuoteCommandLineArgument(argument, force);
}

std::wstring QuoteCommandLineArgument(const std::wstring& argument, bool force) {
    if (!force && !argument.empty() && argument.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
        return argument;
    }
    std::wstring quoted = L"\"";
    for (size_t i = 0;; ++i) {
        size_t backslashes = 0;
        while (i < argument.size() && argument[i] == L'\\') {
            ++backslashes;
            ++i;
        }
        if (i == argument.size()) {
            quoted.append(backslashes * 2, L'\\');
            break;
        }
        if (argument[i] == L'"') {
            quoted.append(backslashes * 2 + 1, L'\\');
        } else {
            quoted.append(backslashes, L'\\');
        }
        quoted += argument[i];
    }
    quoted += L'"';
    return quoted;
}

CCmdLineParserSingleton& GetCmdLineParser() {
    static CCmdLineParserSingleton parser;
    return parser;
}

std::wstring GetCmdLineValue(const wchar_t* name) {
    std::wstring value;
    GetCmdLineParser().GetValue(name, value);
    return value;
}
