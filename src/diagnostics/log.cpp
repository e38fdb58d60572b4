#include "diagnostics/log.h"

#include <cstdarg>
#include <cstdint>

#include "common/format.h"
#include "common/program_folder.h"
#include "diagnostics/log_library.h"
#include "platform/debug_output.h"
#include "platform/dynamic_library.h"
#include "platform/local_time.h"
#include "platform/path.h"

namespace logging {

namespace {

const wchar_t kLogLibrary[] = L"Log";
constexpr size_t kComposeChars = 16384;

std::wstring LogFolder() {
    return FormatCut(platform::kMaxPathChars, L"%s%c%s", GetProgramFolder().c_str(),
                     platform::kPathSeparator,
                     platform::kPathSeparator == L'\\' ? L"config\\log" : L"config/log");
}

bool IsHighSurrogate(wchar_t c) {
    return c >= 0xD800 && c <= 0xDBFF;
}

bool IsLowSurrogate(wchar_t c) {
    return c >= 0xDC00 && c <= 0xDFFF;
}

// A line may carry lone surrogates (on Linux the bytes of a name or an answer that are not
// UTF-8), which the log library cannot encode: it would drop the whole line. Each becomes the
// replacement character instead.
std::wstring WithReplacementCharacters(std::wstring text) {
    for (size_t i = 0; i < text.size(); ++i) {
        if (sizeof(wchar_t) == 2 && IsHighSurrogate(text[i]) && i + 1 < text.size() &&
            IsLowSurrogate(text[i + 1])) {
            ++i;
        } else if (IsHighSurrogate(text[i]) || IsLowSurrogate(text[i])) {
            text[i] = 0xFFFD;
        }
    }
    return text;
}

void WriteDebugLine(const wchar_t* message) {
    platform::WriteDebugOutput(FormatCut(kLineChars, L"[kogame]%s", message));
}

}  // namespace

bool LogFolderExists() {
    return platform::FolderExists(LogFolder());
}

std::wstring FormatLine(const wchar_t* format, va_list args) {
    return CutText(VFormatWide(format, args), kLineChars - 1);
}

std::wstring CutText(const std::wstring& text, size_t units) {
    if (text.size() <= units)
        return text;
    size_t cut = units;
    uint32_t last = cut > 0 ? static_cast<uint32_t>(text[cut - 1]) : 0;
    if (last >= 0xD800 && last <= 0xDBFF)
        --cut;  // the low half would be cut off
    return text.substr(0, cut);
}

void Emit(int channel, const std::wstring& category, const std::wstring& text, int level) {
    platform::LibraryHandle library =
        platform::FindLoadedLibrary(platform::LibraryFileName(kLogLibrary));
    if (library == nullptr) {
        WriteDebugLine(L"get log module failed!");
        return;
    }
    auto getLog = reinterpret_cast<GetLogProc>(platform::FindLibrarySymbol(library, "GetLog"));
    if (getLog == nullptr) {
        WriteDebugLine(L"get log proc failed!");
        return;
    }
    ILogObject* log = getLog();
    if (log == nullptr)
        return;
    log->Write(channel, category.c_str(), WithReplacementCharacters(text).c_str(), level);
}

}  // namespace logging

CLogUtility* GetLogUtility() {
    static CLogUtility* utility = new CLogUtility();
    return utility;
}

bool CreateLog() {
    std::wstring folder = GetProgramFolder();
    std::wstring libraryPath =
        FormatCut(platform::kMaxPathChars, L"%s%c%s", folder.c_str(), platform::kPathSeparator,
                  platform::LibraryFileName(logging::kLogLibrary).c_str());
    platform::LibraryHandle library = platform::LoadLibraryFile(libraryPath);
    if (library == nullptr)
        return false;

    auto createObjects = reinterpret_cast<CreateLogObjectsProc>(
        platform::FindLibrarySymbol(library, "CreateLogObjects"));
    if (createObjects == nullptr)
        return false;
    createObjects();
    auto getLog = reinterpret_cast<GetLogProc>(platform::FindLibrarySymbol(library, "GetLog"));
    if (getLog == nullptr)
        return false;
    ILogObject* log = getLog();
    if (log == nullptr)
        return false;

    platform::LocalTime now = platform::GetLocalTime();
    std::wstring logFolder = logging::LogFolder();
    if (platform::FolderExists(logFolder)) {
        std::wstring file =
            FormatCut(platform::kMaxPathChars, L"%s%c%04d%02d%02d_%02d%02d%02d%03d_PLTNUpdater.log",
                      logFolder.c_str(), platform::kPathSeparator, now.year, now.month, now.day,
                      now.hour, now.minute, now.second, now.milliseconds);
        log->SetLogFile(file.c_str());
    }
    return true;
}

void LogPrint(CLogUtility* utility, const wchar_t* format, ...) {
    if (utility == nullptr)
        return;
    va_list args;
    va_start(args, format);
    std::wstring message = VFormatWide(format, args);
    va_end(args);
    std::wstring line =
        logging::CutText(L"TessaryMicroClient: " + message + L"\n", logging::kComposeChars - 1);
    utility->WriteLiteral(line);
}
