// Stand-in for the maker's utility library on Windows, built as the real one is: by a compiler of
// Microsoft's binary interface, without a C runtime, calling only kernel32. The statistics service
// appends one line per report to config\log\statistics.log beside the program, when that folder
// exists, and checks each record's fixed fields.
#include "standins/library_objects.h"
#include "standins/win32/kernel32.h"

namespace {

constexpr unsigned long kPathChars = 1024;

// config\log\statistics.log beside the program, or false when it does not fit.
bool SpoolPath(wchar_t (&path)[kPathChars]) {
    static const wchar_t kSpool[] = L"config\\log\\statistics.log";
    unsigned long length = GetModuleFileNameW(nullptr, path, kPathChars);
    if (length == 0 || length >= kPathChars)
        return false;
    while (length > 0 && path[length - 1] != L'\\')
        --length;
    if (length == 0 || length + sizeof(kSpool) / sizeof(wchar_t) > kPathChars)
        return false;
    for (unsigned long i = 0; i < sizeof(kSpool) / sizeof(wchar_t); ++i)
        path[length + i] = kSpool[i];
    return true;
}

class Statistic final : public StatisticBase {
  public:
    constexpr Statistic() = default;

    void PALLATON_MEMBER_CALL Report(const StatReport* report) override {
        if (report == nullptr)
            return;
        char line[128];
        char* end = standin::FormatReportLine(line, *report);
        Append(line, static_cast<unsigned long>(end - line));
    }

    void PALLATON_MEMBER_CALL Shutdown() override {
        static const char kShutdown[] = "shutdown\n";
        Append(kShutdown, sizeof(kShutdown) - 1);
    }

  private:
    // Opens the spool for each line, so that nothing is lost when the process ends abruptly.
    void Append(const char* line, unsigned long size) {
        AcquireSRWLockExclusive(&lock_);
        if (SpoolPath(path_))
            kernel32::AppendToFile(path_, line, size);
        ReleaseSRWLockExclusive(&lock_);
    }

    SRWLOCK lock_ = {nullptr};
    wchar_t path_[kPathChars] = {};
};

constinit Statistic g_statistic;
constinit UtilityObject g_utility;

}  // namespace

extern "C" {

__declspec(dllexport) StatisticBase* __cdecl GetStatistic() {
    return &g_statistic;
}

__declspec(dllexport) UtilityObject* __cdecl GetUtility() {
    return &g_utility;
}
}
