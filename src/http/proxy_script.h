// The system's side of a proxy decision: asking auto-detection or the configuration script with a
// deadline.
#pragma once

#include <chrono>
#include <functional>
#include <string>

#include "platform/proxy.h"

namespace http_proxy {

// How long auto-detection and the configuration script may take together for one decision.
inline constexpr std::chrono::seconds kScriptDeadline{10};

// What came of asking the system for a URL's proxies.
struct SystemAnswer {
    enum Outcome { kAnswered, kFailed, kLate };
    Outcome outcome = kFailed;
    std::string answer;       // kAnswered: the system's answer
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
