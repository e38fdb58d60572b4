#include "http/proxy_script.h"

#include <condition_variable>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

#include "common/text.h"

namespace http_proxy {

namespace {

std::mutex g_systemLock;
bool g_settingsOverridden = false;
platform::ProxySettings g_settingsForTesting;
ProxyFinder g_finderForTesting;

ProxyFinder CurrentFinder() {
    std::lock_guard<std::mutex> lock(g_systemLock);
    if (g_finderForTesting)
        return g_finderForTesting;
    return &platform::FindProxiesForUrl;
}

// Where the asking thread leaves its answer; shared with the waiter, which may have given up.
struct PendingAnswer {
    std::mutex lock;
    std::condition_variable done;
    bool finished = false;
    bool found = false;
    std::wstring answer;
    unsigned long error = 0;
};

}  // namespace

SystemAnswer AskSystemForProxies(const platform::ProxySettings& settings, const std::string& url,
                                 std::chrono::milliseconds deadline) {
    auto pending = std::make_shared<PendingAnswer>();
    ProxyFinder finder = CurrentFinder();
    std::wstring wideUrl = ToWide(url);
    try {
        std::thread([pending, finder, settings, wideUrl]() {
            std::wstring answer;
            unsigned long error = 0;
            bool found = finder(settings, wideUrl, answer, error);
            std::lock_guard<std::mutex> lock(pending->lock);
            pending->finished = true;
            pending->found = found;
            pending->answer = std::move(answer);
            pending->error = error;
            pending->done.notify_all();
        }).detach();
    } catch (const std::system_error&) {
        return SystemAnswer();
    }
    SystemAnswer result;
    std::unique_lock<std::mutex> lock(pending->lock);
    if (!pending->done.wait_for(lock, deadline, [&pending] { return pending->finished; })) {
        result.outcome = SystemAnswer::kLate;
        return result;
    }
    result.outcome = pending->found ? SystemAnswer::kAnswered : SystemAnswer::kFailed;
    result.answer = ToNarrow(pending->answer);
    result.error = pending->error;
    return result;
}

void SetProxySystemForTesting(const platform::ProxySettings* settings, ProxyFinder finder) {
    std::lock_guard<std::mutex> lock(g_systemLock);
    g_settingsOverridden = settings != nullptr;
    g_settingsForTesting = settings != nullptr ? *settings : platform::ProxySettings();
    g_finderForTesting = std::move(finder);
}

platform::ProxySettings CurrentProxySettings() {
    {
        std::lock_guard<std::mutex> lock(g_systemLock);
        if (g_settingsOverridden)
            return g_settingsForTesting;
    }
    return platform::GetUserProxySettings();
}

}  // namespace http_proxy
