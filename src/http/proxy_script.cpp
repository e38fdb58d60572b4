#include "http/proxy_script.h"

#include <algorithm>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

#include "base/ascii.h"
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

// One entry of an answer: "KIND host:port", "DIRECT", or a bare "host:port" as WinHTTP gives
// them. False for an entry of a kind libcurl cannot take.
bool ParseEntry(const std::string& entry, std::string& proxy) {
    size_t blank = entry.find_first_of(" \t");
    if (blank == std::string::npos) {
        proxy = ToLowerAscii(entry) == "direct" ? std::string() : entry;
        return true;
    }
    std::string kind = ToLowerAscii(entry.substr(0, blank));
    std::string address = entry.substr(entry.find_first_not_of(" \t", blank));
    if (kind == "proxy" || kind == "http")
        proxy = address;
    else if (kind == "https")
        proxy = "https://" + address;
    else if (kind == "socks" || kind == "socks4")
        proxy = "socks4://" + address;
    else if (kind == "socks5")
        proxy = "socks5://" + address;
    else
        return false;
    return true;
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

std::vector<std::string> ParseProxyAnswer(const std::string& answer) {
    std::vector<std::string> entries;
    size_t start = 0;
    while (start <= answer.size()) {
        size_t end = std::min(answer.find(';', start), answer.size());
        std::string entry = answer.substr(start, end - start);
        size_t first = entry.find_first_not_of(" \t");
        start = end + 1;
        if (first == std::string::npos)
            continue;
        entry = entry.substr(first, entry.find_last_not_of(" \t") - first + 1);
        // WinHTTP's list may separate its proxies by blanks too: "a:1 b:2".
        bool bareList =
            entry.find(':') != std::string::npos && entry.find(':') < entry.find_first_of(" \t");
        std::vector<std::string> parts;
        if (bareList) {
            for (size_t at = 0; at < entry.size();) {
                size_t stop = std::min(entry.find_first_of(" \t", at), entry.size());
                if (stop > at)
                    parts.push_back(entry.substr(at, stop - at));
                at = stop + 1;
            }
        } else {
            parts.push_back(entry);
        }
        for (const std::string& part : parts) {
            std::string proxy;
            if (ParseEntry(part, proxy) &&
                std::find(entries.begin(), entries.end(), proxy) == entries.end())
                entries.push_back(proxy);
        }
    }
    if (entries.empty())
        entries.emplace_back();
    return entries;
}

ProxyTries::ProxyTries(std::vector<std::string> entries) : entries_(std::move(entries)) {
    if (entries_.empty())
        entries_.emplace_back();
    settled_ = entries_.size() == 1;
}

bool ProxyTries::Unreachable(const std::string& entry) {
    if (settled_ || entry != entries_[current_])
        return false;
    if (current_ + 1 == entries_.size()) {
        settled_ = true;
        return false;
    }
    ++current_;
    return true;
}

bool ProxyTries::Reached(const std::string& entry) {
    if (settled_ || entry != entries_[current_])
        return false;
    settled_ = true;
    return true;
}

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
