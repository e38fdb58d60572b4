// One small program that stands in for the programs the updater starts and looks for: package
// installers, the client's launcher, the client and its tray program. Copies of it take those
// roles by their file names; what a copy does is written in a trailer appended to its own file:
//   "\n#pallaton-fixture exit=N sleep=S\n"
// (every package then has its own content and digest). Each start appends one line to the file
// named by the environment variable PALLATON_FIXTURE_RECORD:
//   "<own file name>|<parameters as received>"
// On Windows the parameters are the raw command line after the program name; on Linux the
// arguments joined again by the Windows quoting rules, which gives the same text for the
// command lines the updater builds. When PALLATON_FIXTURE_ARGV names a file too, each start also
// appends its argument vector there, as the program itself receives it (on Windows split by the
// system's own splitter):
//   "<own file name>" followed by "\t<argument>" for each argument after the program name,
// with '%', '\t' and the other control characters of an argument written as "%XX".
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "base/utf8.h"
#include "cmdline/cmd_line_parser.h"
#include "common/text.h"
#include "platform/command_line.h"
#include "platform/path.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace {

std::wstring ReceivedParameters(int argc, char** argv) {
#ifdef _WIN32
    (void)argc;
    (void)argv;
    const wchar_t* line = GetCommandLineW();
    // Skip the program name by the program-name rule, then the blanks after it.
    if (*line == L'"') {
        ++line;
        while (*line != L'\0' && *line != L'"')
            ++line;
        if (*line == L'"')
            ++line;
    } else {
        while (*line != L'\0' && *line != L' ' && *line != L'\t')
            ++line;
    }
    while (*line == L' ' || *line == L'\t')
        ++line;
    return line;
#else
    std::wstring joined;
    for (int i = 1; i < argc; ++i) {
        if (i > 1)
            joined += L' ';
        joined += QuoteCommandLineArgument(ToWide(argv[i]), false);
    }
    return joined;
#endif
}

std::vector<std::wstring> ReceivedArguments(int argc, char** argv) {
    std::vector<std::wstring> arguments;
#ifdef _WIN32
    (void)argc;
    (void)argv;
    platform::SplitCommandLine(GetCommandLineW(), arguments);
    if (!arguments.empty())
        arguments.erase(arguments.begin());
#else
    for (int i = 1; i < argc; ++i)
        arguments.push_back(ToWide(argv[i]));
#endif
    return arguments;
}

std::string EscapedArgument(const std::wstring& argument) {
    std::string bytes;
    utf8::Encode(argument, bytes);
    std::string escaped;
    for (unsigned char c : bytes) {
        if (c < 0x20 || c == '%' || c == 0x7f) {
            char hex[4];
            std::snprintf(hex, sizeof hex, "%%%02X", c);
            escaped += hex;
        } else {
            escaped += static_cast<char>(c);
        }
    }
    return escaped;
}

void AppendLine(const char* file, const std::string& line) {
    if (std::FILE* out = std::fopen(file, "ab")) {
        std::fwrite(line.data(), 1, line.size(), out);
        std::fclose(out);
    }
}

// Reads "key=value" from the trailer at the end of the program's own file.
int TrailerValue(const std::string& trailer, const char* key, int fallback) {
    std::string marker = std::string(" ") + key + "=";
    size_t at = trailer.find(marker);
    return at == std::string::npos ? fallback : std::atoi(trailer.c_str() + at + marker.size());
}

std::string ReadTrailer(const std::wstring& self) {
#ifdef _WIN32
    std::ifstream file(self.c_str(), std::ios::binary);
#else
    std::ifstream file(ToNarrow(self), std::ios::binary);
#endif
    // The trailer is the file's last line; only the tail is read, so that a copy carrying a
    // package's worth of bytes before its trailer starts as fast as a small one.
    constexpr std::streamoff kTail = 4096;
    file.seekg(0, std::ios::end);
    std::streamoff size = file.tellg();
    if (size < 0)
        return std::string();
    file.seekg(size > kTail ? size - kTail : 0);
    std::stringstream content;
    content << file.rdbuf();
    std::string tail = content.str();
    size_t at = tail.rfind("\n#pallaton-fixture");
    return at == std::string::npos ? std::string() : tail.substr(at);
}

}  // namespace

int main(int argc, char** argv) {
#ifdef _WIN32
    // Installers commonly load the version library by its bare name, which the system looks for
    // in the program's own folder first; the fixture does the same, so that a test sees what a
    // file beside an installer could do.
    if (HMODULE version = LoadLibraryW(L"version.dll"))
        FreeLibrary(version);
#endif
    std::wstring self = platform::GetModuleFilePath();
    std::wstring name = self.substr(self.find_last_of(platform::kPathSeparator) + 1);
    std::string trailer = ReadTrailer(self);

    if (const char* record = std::getenv("PALLATON_FIXTURE_RECORD")) {
        std::string line;
        utf8::Encode(name + L"|" + ReceivedParameters(argc, argv) + L"\n", line);
        AppendLine(record, line);
    }
    if (const char* record = std::getenv("PALLATON_FIXTURE_ARGV")) {
        std::string line;
        utf8::Encode(name, line);
        for (const std::wstring& argument : ReceivedArguments(argc, argv))
            line += "\t" + EscapedArgument(argument);
        AppendLine(record, line + "\n");
    }
    int seconds = TrailerValue(trailer, "sleep", 0);
    if (seconds > 0)
        std::this_thread::sleep_for(std::chrono::seconds(seconds));
    return TrailerValue(trailer, "exit", 0);
}
