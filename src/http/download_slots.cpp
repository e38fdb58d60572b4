#include "http/download_slots.h"

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace http_slots {

namespace {

// How often a waiting download looks whether the engine stops.
constexpr auto kStopCheckInterval = std::chrono::milliseconds(100);

std::mutex g_lock;
std::condition_variable g_slotFreed;
int g_running = 0;

}  // namespace

DownloadSlot::DownloadSlot(const IHttpTaskCallback* tasks) {
    std::unique_lock<std::mutex> lock(g_lock);
    while (g_running >= kMaxRunningDownloads) {
        if (tasks != nullptr && tasks->IsStopping())
            return;
        g_slotFreed.wait_for(lock, kStopCheckInterval);
    }
    ++g_running;
    held_ = true;
}

DownloadSlot::~DownloadSlot() {
    if (!held_)
        return;
    {
        std::lock_guard<std::mutex> lock(g_lock);
        --g_running;
    }
    g_slotFreed.notify_one();
}

}  // namespace http_slots
