// The stand-in libraries' own declarations of the objects they hand out, in the slot order the
// maker's libraries have, with the member-function convention written out. Kept apart from the
// updater's view of the same tables, so that the two sides meet only at the binary interface.
#pragma once

#include "diagnostics/library_abi.h"
#include "diagnostics/stat_report.h"

#define STANDIN_SLOT virtual void PALLATON_MEMBER_CALL

class LogObjectBase {
  public:
    STANDIN_SLOT Reserved0() {}
    STANDIN_SLOT Reserved1() {}
    STANDIN_SLOT Reserved2() {}
    STANDIN_SLOT Reserved3() {}
    STANDIN_SLOT Reserved4() {}
    STANDIN_SLOT SetLogFile(const wchar_t* path) = 0;  // slot 5
    STANDIN_SLOT Reserved6() {}
    STANDIN_SLOT Reserved7() {}
    STANDIN_SLOT Write(int channel, const wchar_t* category, const wchar_t* message,
                       int level) = 0;  // slot 8

  protected:
    constexpr LogObjectBase() = default;
    ~LogObjectBase() = default;
};

class StatisticBase {
  public:
    STANDIN_SLOT Report(const StatReport* report) = 0;  // slot 0
    STANDIN_SLOT Reserved1() {}
    STANDIN_SLOT Reserved2() {}
    STANDIN_SLOT Reserved3() {}
    STANDIN_SLOT Reserved4() {}
    STANDIN_SLOT Reserved5() {}
    STANDIN_SLOT Shutdown() = 0;  // slot 6

  protected:
    constexpr StatisticBase() = default;
    ~StatisticBase() = default;
};

// The end-of-run chain: utility → service → session, whose slot 1 finishes the session.
class UtilitySession {
  public:
    constexpr UtilitySession() = default;
    STANDIN_SLOT Reserved0() {}
    STANDIN_SLOT Finish() {}  // slot 1
};

class UtilityService {
  public:
    constexpr UtilityService() = default;
    virtual UtilitySession* PALLATON_MEMBER_CALL GetSession() { return &session_; }  // slot 0

  private:
    UtilitySession session_;
};

class UtilityObject {
  public:
    constexpr UtilityObject() = default;
    virtual UtilityService* PALLATON_MEMBER_CALL GetService() { return &service_; }  // slot 0

  private:
    UtilityService service_;
};

#undef STANDIN_SLOT

namespace standin {

// What the updater always passes: a log line goes to channel 0 with an empty category at level 50.
inline bool IsExpectedLogCall(int channel, const wchar_t* category, int level) {
    return channel == 0 && category != nullptr && category[0] == L'\0' && level == 50;
}

// The offset of the first fixed field of a record that does not hold its fixed value, or -1 when
// all of them do. A caller that used the wrong convention or layout shows up here.
inline int MalformedRecordOffset(const StatReport& report) {
    for (size_t i = 0; i < sizeof(report.reserved); ++i) {
        if (report.reserved[i] != 0)
            return static_cast<int>(offsetof(StatReport, reserved) + i);
    }
    if (report.zero1 != 0)
        return offsetof(StatReport, zero1);
    if (report.zero2 != 0)
        return offsetof(StatReport, zero2);
    if (report.three != 3)
        return offsetof(StatReport, three);
    if (report.zero3 != 0)
        return offsetof(StatReport, zero3);
    for (size_t i = 0; i < sizeof(report.emptyString.inlineBuffer); ++i) {
        if (report.emptyString.inlineBuffer[i] != 0)
            return static_cast<int>(offsetof(StatReport, emptyString) + i);
    }
    if (report.emptyString.length != 0)
        return 184;
    if (report.emptyString.capacity != kEmptyWideStringCapacity)
        return 188;
    return -1;
}

// Writes a decimal number at `out` and returns the end; `out` needs room for 11 characters.
inline char* AppendDecimal(char* out, int value) {
    unsigned magnitude =
        value < 0 ? 0u - static_cast<unsigned>(value) : static_cast<unsigned>(value);
    if (value < 0)
        *out++ = '-';
    char digits[10];
    int count = 0;
    do {
        digits[count++] = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    while (count > 0)
        *out++ = digits[--count];
    return out;
}

inline char* AppendText(char* out, const char* text) {
    while (*text != '\0')
        *out++ = *text++;
    return out;
}

// The spool line of one report ("event=... second=...\n", or a line naming the malformed offset),
// without a terminating zero; returns its end. `out` needs room for 128 characters.
inline char* FormatReportLine(char* out, const StatReport& report) {
    int malformed = MalformedRecordOffset(report);
    if (malformed >= 0) {
        out = AppendText(out, "malformed record at offset ");
        out = AppendDecimal(out, malformed);
        *out++ = '\n';
        return out;
    }
    const struct {
        const char* name;
        int value;
    } fields[] = {{"event=", report.eventId}, {" category=", report.category},
                  {" appid=", report.appid},  {" pid=", report.pid},
                  {" kind=", report.kind},    {" second=", report.second}};
    for (const auto& field : fields) {
        out = AppendText(out, field.name);
        out = AppendDecimal(out, field.value);
    }
    *out++ = '\n';
    return out;
}

}  // namespace standin
