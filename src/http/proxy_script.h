// The system's side of a proxy decision: asking auto-detection or the configuration script with a
// deadline, taking its answer apart into entries, and the order in which those entries are tried.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "platform/proxy.h"

namespace http_proxy {

// How long auto-detection and the configuration script may take together for one decision.
inline constexpr std::chrono::seconds kScriptDeadline{10};

// The entries of a system answer, in order, each once: a script's own answer ("PROXY a:1; PROXY
// b:2; DIRECT", also "HTTP", "HTTPS", "SOCKS", "SOCKS4" and "SOCKS5" entries) or WinHTTP's list
// ("a:1;b:2"). A proxy is a libcurl proxy text ("a:1", or with its scheme for HTTPS and SOCKS);
// an empty entry is the direct way. Entries of unknown kinds are left out; an answer without
// any usable entry is the direct way alone.
std::vector<std::string> ParseProxyAnswer(const std::string& answer);

// The order in which the entries of one decision are tried: the first until a transfer cannot
// connect to it, then the next, each at most once. The entry that a transfer got through settles
// the decision; so does the failure of the last one.
class ProxyTries {
  public:
    // An empty list stands for the direct way alone.
    explicit ProxyTries(std::vector<std::string> entries);

    const std::string& Current() const { return entries_[current_]; }
    bool Settled() const { return settled_; }

    // A transfer could not connect to `entry`. When it is the current entry, the next becomes
    // current (true); a report of an entry that is no longer current changes nothing.
    bool Unreachable(const std::string& entry);

    // A transfer went through `entry`: true when that settled the decision on it.
    bool Reached(const std::string& entry);

  private:
    std::vector<std::string> entries_;
    size_t current_ = 0;
    bool settled_ = false;
};

// What came of asking the system for a URL's proxies.
struct SystemAnswer {
    enum Outcome { kAnswered, kFailed, kLate };
    Outcome outcome = kFailed;
    std::string answer;       // kAnswered: the system's answer, as ParseProxyAnswer takes it
    unsigned long error = 0;  // kFailed: the system's error code
};

// Asks auto-detection and/or the configuration script of `settings` for `url`, on a thread of its
// own, and waits for it at most `deadline`. A script that never returns keeps that thread; it
// holds nothing of the caller's and never delays the program's exit.
SystemAnswer AskSystemForProxies(const platform::ProxySettings& settings, const std::string& url,
                                 std::chrono::milliseconds deadline);

// Stands in for the system's settings and its answers in tests; null settings and an empty
// finder return to the system's.
using ProxyFinder = std::function<bool(const platform::ProxySettings&, const std::wstring&,
                                       std::wstring&, unsigned long&)>;
void SetProxySystemForTesting(const platform::ProxySettings* settings, ProxyFinder finder);

// The user's settings, or those a test stands in.
platform::ProxySettings CurrentProxySettings();

}  // namespace http_proxy
