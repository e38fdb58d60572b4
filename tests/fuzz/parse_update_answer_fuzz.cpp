// Fuzz target: any answer body must be read without a crash, a leak or a hang, and every
// package it yields must lie inside the download folder.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "common/program_folder.h"
#include "update/package_list.h"

namespace {

const std::wstring& DownloadFolder() {
    static const std::wstring folder = [] {
        const char* base = std::getenv("TMPDIR");
        std::string path =
            std::string(base != nullptr && *base ? base : "/tmp") + "/pallaton-fuzz-answer/";
        return std::wstring(path.begin(), path.end());
    }();
    return folder;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    PackageList list(DownloadFolder());
    list.ParseUpdateAnswer(std::string(reinterpret_cast<const char*>(data), size));

    const std::wstring& folder = list.GetDownloadFolder();
    PackageRecord* record = nullptr;
    int task = 0;
    while (list.TakeNextPackage(record)) {
        record->taskId = ++task;
        const std::wstring& path = record->localPath;
        if (path.compare(0, folder.size(), folder) != 0 ||
            FindUnsafeFileNameReason(folder, path.substr(folder.size())) != nullptr) {
            __builtin_trap();
        }
    }
    for (int id = 0; id <= task; ++id)
        list.FindPackageIdByTask(id);
    return 0;
}
