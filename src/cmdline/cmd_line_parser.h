// The command-line option table: "-name:value", "-name=value" (or with '/'), bare switches, and
// the URL form behind "korvanewebgame://". Parsed once at start-up, read from anywhere after.
#pragma once

#include <map>
#include <string>

namespace base {

class ICmdLineParser {
  public:
    virtual bool Parse(const wchar_t* commandLine) = 0;
    virtual bool HasOption(const wchar_t* name) const = 0;
    virtual bool HasValue(const wchar_t* name) const = 0;
    virtual bool GetValue(const wchar_t* name, std::wstring& out) const = 0;
    virtual const wchar_t* GetValuePtr(const wchar_t* name) const = 0;
    virtual bool SetValue(const wchar_t* name, const std::wstring& value) = 0;
    virtual const wchar_t* GetCmdLine() const = 0;
    virtual std::wstring QuoteArgument(const std::wstring& argument, bool force) const = 0;
    virtual ~ICmdLineParser() = default;
};

}  // namespace base

class CCmdLineParser : public base::ICmdLineParser {
  public:
    bool Parse(const wchar_t* commandLine) override;
    bool HasOption(const wchar_t* name) const override;
    bool HasValue(const wchar_t* name) const override;
    bool GetValue(const wchar_t* name, std::wstring& out) const override;
    const wchar_t* GetValuePtr(const wchar_t* name) const override;
    bool SetValue(const wchar_t* name, const std::wstring& value) override;
    const wchar_t* GetCmdLine() const override;
    std::wstring QuoteArgument(const std::wstring& argument, bool force) const override;

  private:
    std::wstring Key(const wchar_t* name) const;
    const std::wstring* Find(const wchar_t* name) const;

    std::wstring commandLine_;
    std::map<std::wstring, std::wstring> options_;
    bool caseSensitive_ = false;
};

class CCmdLineParserSingleton : public CCmdLineParser {};

// The process-wide option table.
CCmdLineParserSingleton& GetCmdLineParser();

// The value of an option of the process's command line; empty when it has none.
std::wstring GetCmdLineValue(const wchar_t* name);

// Quotes an argument so that the Windows command-line splitter reads it back as exactly that one
// argument; with `force` false an argument without blanks or quotes is returned unchanged.
std::wstring QuoteCommandLineArgument(const std::wstring& argument, bool force);
