// The diagnostic log, written through the maker's log library: CreateLog names the file once at
// start, LogHelpImpl filters and forwards one line, and LogPrint is the common call.
#pragma once

#include <cstdarg>
#include <string>

class ILogSwitchLevelChangeAware {
  public:
    virtual void OnLevelChange(int level) = 0;
    virtual void OnSwitchLevelChange(int level) = 0;
    virtual ~ILogSwitchLevelChangeAware() = default;
};

namespace logging {

constexpr int kLineLevel = 50;
constexpr size_t kLineChars = 1024;  // a written line holds at most 1,023 characters

// Whether the folder "config/log" beside the executable exists.
bool LogFolderExists();

// Hands one line to the loaded log library, or to the debug output when the library is missing.
void Emit(int channel, const std::wstring& category, const std::wstring& text, int level);

// Formats into the line buffer, cutting at 1,023 characters.
std::wstring FormatLine(const wchar_t* format, va_list args);

// The text cut to at most `units` code units, never between the two halves of a surrogate pair
// (the log library drops a line that ends in half a pair).
std::wstring CutText(const std::wstring& text, size_t units);

}  // namespace logging

template <typename T>
class LogHelpImpl : public ILogSwitchLevelChangeAware {
  public:
    LogHelpImpl() : folderExists_(logging::LogFolderExists()) {}

    void OnLevelChange(int level) override { level_ = level; }
    void OnSwitchLevelChange(int level) override { switchLevel_ = level; }

    // Formats one line and writes it without prefix or line end.
    void Write(const wchar_t* format, ...) {
        if (!ShouldWrite())
            return;
        va_list args;
        va_start(args, format);
        std::wstring line = logging::FormatLine(format, args);
        va_end(args);
        logging::Emit(channel_, category_, line, logging::kLineLevel);
    }

    // Writes text as it stands, cut to the line buffer, without expanding it again.
    void WriteLiteral(const std::wstring& text) {
        if (!ShouldWrite())
            return;
        logging::Emit(channel_, category_, logging::CutText(text, logging::kLineChars - 1),
                      logging::kLineLevel);
    }

  private:
    bool ShouldWrite() const {
        if (!folderExists_)
            return false;
        return level_ <= logging::kLineLevel || switchLevel_ <= logging::kLineLevel;
    }

    int channel_ = 0;
    int level_ = logging::kLineLevel;
    int switchLevel_ = logging::kLineLevel;
    std::wstring category_;
    std::wstring switchName_ = L"DefaultSwitch";
    bool folderExists_;
};

class CLogUtility : public LogHelpImpl<CLogUtility> {};

// The process-wide log front end, created on first use.
CLogUtility* GetLogUtility();

// Loads the log library from the program folder and names the log file. False when the library
// or its exports are missing; the updater runs the same without it.
bool CreateLog();

// The common log call: "TessaryMicroClient: " + the formatted message + "\n". A '%' in a value
// is written unchanged.
void LogPrint(CLogUtility* utility, const wchar_t* format, ...);
