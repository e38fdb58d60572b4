// Stand-in for the maker's utility library: the statistics service appends one line per report
// to config/log/statistics.log beside the program, when that folder exists.
#define PALLATON_BUILDING_UTILITY
#include <cstdio>
#include <mutex>
#include <string>

#include "diagnostics/statistics_library.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace {

#ifdef _WIN32
using PathString = std::wstring;
#else
using PathString = std::string;
#endif

// config/log/statistics.log beside the program, or empty when the program's path is unknown.
PathString SpoolPath() {
#ifdef _WIN32
    wchar_t buffer[MAX_PATH] = {};
    DWORD length = GetModuleFileNameW(nullptr, buffer, MAX_PATH);
    std::wstring path(buffer, length);
    size_t cut = path.find_last_of(L'\\');
    if (cut == std::wstring::npos)
        return std::wstring();
    return path.substr(0, cut + 1) + L"config\\log\\statistics.log";
#else
    char buffer[4096] = {};
    ssize_t length = readlink("/proc/self/exe", buffer, sizeof(buffer) - 1);
    std::string path(buffer, length > 0 ? static_cast<size_t>(length) : 0);
    size_t cut = path.find_last_of('/');
    if (cut == std::string::npos)
        return std::string();
    return path.substr(0, cut + 1) + "config/log/statistics.log";
#endif
}

std::FILE* OpenForAppend(const PathString& path) {
#ifdef _WIN32
    return _wfopen(path.c_str(), L"ab");
#else
    return std::fopen(path.c_str(), "ab");
#endif
}

class Statistic final : public IStatistic {
  public:
    void Report(const StatReport* report) override {
        if (report == nullptr)
            return;
        char line[160];
        std::snprintf(line, sizeof(line),
                      "event=%d category=%d appid=%d pid=%d kind=%d second=%d\n", report->eventId,
                      report->category, report->appid, report->pid, report->kind, report->second);
        Append(line);
    }
    void Reserved1() override {}
    void Reserved2() override {}
    void Reserved3() override {}
    void Reserved4() override {}
    void Reserved5() override {}
    void Shutdown() override { Append("shutdown\n"); }

  private:
    // Opens the spool for each line, so that nothing is lost when the process ends abruptly, and
    // creates nothing when the log folder is missing.
    void Append(const char* line) {
        std::lock_guard<std::mutex> lock(mutex_);
        PathString path = SpoolPath();
        if (path.empty())
            return;
        std::FILE* file = OpenForAppend(path);
        if (file == nullptr)
            return;
        std::fputs(line, file);
        std::fclose(file);
    }

    std::mutex mutex_;
};

class Session final : public IUtilitySession {
  public:
    void Reserved0() override {}
    void Finish() override {}
};

class Service final : public IUtilityService {
  public:
    IUtilitySession* GetSession() override { return &session_; }

  private:
    Session session_;
};

class Utility final : public IUtility {
  public:
    IUtilityService* GetService() override { return &service_; }

  private:
    Service service_;
};

}  // namespace

extern "C" {

IStatistic* PALLATON_LIBRARY_CALL GetStatistic() {
    static Statistic* statistic = new Statistic();
    return statistic;
}

IUtility* PALLATON_LIBRARY_CALL GetUtility() {
    static Utility* utility = new Utility();
    return utility;
}
}
