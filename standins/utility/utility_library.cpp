// Stand-in for the maker's utility library: the statistics service appends one line per report
// to config/log/statistics.log beside the program, when that folder exists.
#include <unistd.h>

#include <cstdio>
#include <mutex>
#include <string>

#include "standins/library_objects.h"

#define UTILITY_API extern "C" __attribute__((visibility("default")))

namespace {

// config/log/statistics.log beside the program, or empty when the program's path is unknown.
std::string SpoolPath() {
    char buffer[4096] = {};
    ssize_t length = readlink("/proc/self/exe", buffer, sizeof(buffer) - 1);
    std::string path(buffer, length > 0 ? static_cast<size_t>(length) : 0);
    size_t cut = path.find_last_of('/');
    if (cut == std::string::npos)
        return std::string();
    return path.substr(0, cut + 1) + "config/log/statistics.log";
}

class Statistic final : public StatisticBase {
  public:
    void Report(const StatReport* report) override {
        if (report == nullptr)
            return;
        char line[128];
        char* end = standin::FormatReportLine(line, *report);
        Append(std::string(line, end));
    }
    void Shutdown() override { Append("shutdown\n"); }

  private:
    // Opens the spool for each line, so that nothing is lost when the process ends abruptly, and
    // creates nothing when the log folder is missing.
    void Append(const std::string& line) {
        std::lock_guard<std::mutex> lock(mutex_);
        std::string path = SpoolPath();
        if (path.empty())
            return;
        std::FILE* file = std::fopen(path.c_str(), "ab");
        if (file == nullptr)
            return;
        std::fwrite(line.data(), 1, line.size(), file);
        std::fclose(file);
    }

    std::mutex mutex_;
};

Statistic g_statistic;
UtilityObject g_utility;

}  // namespace

UTILITY_API StatisticBase* GetStatistic() {
    return &g_statistic;
}

UTILITY_API UtilityObject* GetUtility() {
    return &g_utility;
}
