// Downloads through the engine as the tests of the download and its parts make them, and what
// each gave: the result, the file, what else stayed in the folder, and the progress.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "support/test_servers.h"

namespace http_download_test {

using http_test::FaultUrl;
using http_test::RecordingOwner;

inline constexpr uint32_t kSampleSize = 1000003;
inline constexpr uint32_t kLargeSize = 8000000;

struct Outcome {
    int success = -1;
    std::string content;
    bool exists = false;
    std::vector<std::string> leftovers;  // files in the folder besides the destination
    std::vector<double> progress;
    bool resultCameLast = false;
    double seconds = 0;
};

// `freeBytes`, where not negative, is what the engine's downloads see free on the disk.
inline Outcome DownloadTo(const fixtures::ScratchFolder& folder, const std::string& name,
                          const std::string& url, uint32_t expectedSize, int64_t freeBytes = -1) {
    Outcome outcome;
    RecordingOwner owner;
    owner.DownloadDiskSpace().SetFreeBytesForTesting(freeBytes);
    std::string path = folder.Path(name);
    int taskId = 0;
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(owner.Download(url, path, &taskId, expectedSize), 1);
    EXPECT_TRUE(owner.WaitForResults(1, std::chrono::seconds(150)));
    outcome.seconds = http_test::SecondsSince(start);
    RecordingOwner::Event result = owner.ResultOf(taskId);
    outcome.success = result.success;
    EXPECT_EQ(result.text, path);
    std::vector<RecordingOwner::Event> events = owner.Events();
    outcome.resultCameLast =
        !events.empty() && events.back().kind == RecordingOwner::Event::kDownload;
    outcome.progress = owner.ProgressOf(taskId);
    outcome.exists = http_test::ReadWholeFile(path, outcome.content);
    for (const std::string& each : folder.Names()) {
        if (each != name)
            outcome.leftovers.push_back(each);
    }
    return outcome;
}

inline Outcome Download(const std::string& url, uint32_t expectedSize, int64_t freeBytes = -1) {
    fixtures::ScratchFolder folder;
    return DownloadTo(folder, "package.exe", url, expectedSize, freeBytes);
}

inline std::string SampleUrl(const std::string& key, const std::string& faults = "") {
    return FaultUrl("/files/pattern.1000003?key=" + key + (faults.empty() ? "" : "&" + faults));
}

inline std::vector<std::string> Sorted(std::vector<std::string> lines) {
    std::sort(lines.begin(), lines.end());
    return lines;
}

inline int CountStartingWith(const std::vector<std::string>& lines, const std::string& prefix) {
    return static_cast<int>(std::count_if(lines.begin(), lines.end(), [&](const std::string& line) {
        return line.compare(0, prefix.size(), prefix) == 0;
    }));
}

}  // namespace http_download_test
