#include "http/proxy_choice.h"

#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>

#include "base/ascii.h"
#include "common/text.h"
#include "diagnostics/log.h"
#include "http/proxy_script.h"
#include "http/url_parts.h"

namespace http_proxy {

namespace {

// A host's decision: made by its first asker while later ones wait, then the
// order of its entries' tries.
struct HostDecision {
    bool made = false;
    bool systemLogon = false;
    ProxyTries tries{{}};
};

std::mutex g_decisionsLock;
std::condition_variable g_decisionMade;
std::map<std::string, std::shared_ptr<HostDecision>> g_decisions;
bool g_scriptFailureLogged = false;

std::string Trim(const std::string& text) {
    size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos)
        return std::string();
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

std::vector<std::string> SplitAny(const std::string& text, const char* separators) {
    std::vector<std::string> parts;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find_first_of(separators, start);
        if (end == std::string::npos)
            end = text.size();
        std::string part = Trim(text.substr(start, end - start));
        if (!part.empty())
            parts.push_back(part);
        start = end + 1;
    }
    return parts;
}

// '*' matches any run of characters, everything else itself; both already in
// lower case.
bool WildcardMatches(const std::string& pattern, const std::string& text) {
    size_t p = 0, t = 0, star = std::string::npos, resume = 0;
    while (t < text.size()) {
        if (p < pattern.size() && pattern[p] == '*') {
            star = p++;
            resume = t;
        } else if (p < pattern.size() && pattern[p] == text[t]) {
            ++p;
            ++t;
        } else if (star != std::string::npos) {
            p = star + 1;
            t = ++resume;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*')
        ++p;
    return p == pattern.size();
}

bool IsDigits(const std::string& text) {
    return !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
}

}  // namespace

bool IsLoopbackHost(const std::string& host) {
    if (host == "localhost" || host == "::1" || host == "0:0:0:0:0:0:0:1")
        return true;
    if (host.size() > 10 && host.compare(host.size() - 10, 10, ".localhost") == 0)
        return true;
    // 127.x.y.z in dotted decimal.
    std::vector<std::string> parts = SplitAny(host, ".");
    if (parts.size() != 4 || parts[0] != "127" || host.back() == '.')
        return false;
    for (const std::string& part : parts) {
        if (!IsDigits(part) || part.size() > 3 || std::stoi(part) > 255)
            return false;
    }
    return true;
}

std::string NamedProxyFor(const std::string& proxyText, const std::string& scheme) {
    std::vector<std::string> entries = SplitAny(proxyText, "; ");
    std::string general;
    for (const std::string& entry : entries) {
        size_t equals = entry.find('=');
        if (equals == std::string::npos) {
            if (general.empty())
                general = entry;
            continue;
        }
        if (ToLowerAscii(entry.substr(0, equals)) == scheme)
            return entry.substr(equals + 1);
    }
    // A per-scheme text without this scheme sends it direct.
    bool perScheme = proxyText.find('=') != std::string::npos;
    return perScheme ? std::string() : general;
}

bool BypassListMatches(const std::string& bypassList, const std::string& host) {
    std::string name = ToLowerAscii(host);
    for (std::string entry : SplitAny(ToLowerAscii(bypassList), "; ,\t")) {
        if (entry == "<local>") {
            if (name.find('.') == std::string::npos && name.find(':') == std::string::npos)
                return true;
            continue;
        }
        size_t scheme = entry.find("://");
        if (scheme != std::string::npos)
            entry.erase(0, scheme + 3);
        if (WildcardMatches(entry, name))
            return true;
    }
    return false;
}

bool NoProxyMatches(const std::string& noProxy, const std::string& host) {
    std::string name = ToLowerAscii(host);
    for (std::string entry : SplitAny(ToLowerAscii(noProxy), ", \t")) {
        if (entry == "*")
            return true;
        if (entry[0] == '.')
            entry.erase(0, 1);
        if (entry.empty())
            continue;
        if (name == entry)
            return true;
        if (name.size() > entry.size() &&
            name.compare(name.size() - entry.size(), entry.size(), entry) == 0 &&
            name[name.size() - entry.size() - 1] == '.')
            return true;
    }
    return false;
}

namespace {

int HexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// "%XX" as the byte it stands for; a '%' without two hexadecimal digits stays.
std::string PercentDecoded(const std::string& text) {
    std::string decoded;
    for (size_t i = 0; i < text.size(); ++i) {
        int high = i + 2 < text.size() && text[i] == '%' ? HexValue(text[i + 1]) : -1;
        int low = high >= 0 ? HexValue(text[i + 2]) : -1;
        if (low >= 0) {
            decoded += static_cast<char>(high * 16 + low);
            i += 2;
        } else {
            decoded += text[i];
        }
    }
    return decoded;
}

}  // namespace

ProxyAddress SplitProxyAddress(const std::string& proxy) {
    ProxyAddress parts;
    size_t scheme = proxy.find("://");
    size_t start = scheme == std::string::npos ? 0 : scheme + 3;
    size_t at = proxy.rfind('@');
    if (at == std::string::npos || at < start) {
        parts.address = proxy;
        return parts;
    }
    parts.address = proxy.substr(0, start) + proxy.substr(at + 1);
    parts.hasCredentials = true;
    std::string credentials = proxy.substr(start, at - start);
    size_t colon = credentials.find(':');
    parts.user = PercentDecoded(credentials.substr(0, colon));
    if (colon != std::string::npos)
        parts.password = PercentDecoded(credentials.substr(colon + 1));
    return parts;
}

std::string WithoutCredentials(const std::string& proxy) {
    return SplitProxyAddress(proxy).address;
}

ProxyChoice ChooseFromSettings(const platform::ProxySettings& settings, const std::string& scheme,
                               const std::string& host) {
    ProxyChoice choice;
    choice.systemLogon = settings.systemLogon;
    if (!settings.namedProxy.empty()) {
        std::string text = ToNarrow(settings.namedProxy);
        if (!BypassListMatches(ToNarrow(settings.bypassList), host))
            choice.proxy = NamedProxyFor(text, scheme);
        return choice;
    }
    std::string proxy = scheme == "https" ? settings.httpsProxy : settings.httpProxy;
    if (proxy.empty())
        proxy = settings.allProxy;
    if (!proxy.empty() && !NoProxyMatches(settings.noProxy, host))
        choice.proxy = proxy;
    return choice;
}

namespace {

// A script that did not answer in time is not asked again in this run: its
// thread may still be inside it, and the system's script engine would hold the
// next ask behind it.
bool g_scriptLate = false;
std::chrono::milliseconds g_scriptDeadline = kScriptDeadline;

// A second asker for a host waits at most this long beyond the script's
// deadline for the first asker's decision.
constexpr std::chrono::seconds kDecisionWaitMargin{5};

std::string DecisionKey(const std::string& url, std::string& host) {
    std::string scheme;
    http_url::SplitUrl(url, scheme, host);
    return scheme + "://" + host;
}

void LogDecision(const std::string& proxy, const std::string& host) {
    LogPrint(GetLogUtility(), L"Proxy: %s for %s",
             proxy.empty() ? L"DIRECT" : ToWide(WithoutCredentials(proxy)).c_str(),
             ToWide(host).c_str());
}

ProxyChoice CurrentChoice(const HostDecision& decision) {
    ProxyChoice choice;
    choice.proxy = decision.tries.Current();
    choice.systemLogon = decision.systemLogon;
    return choice;
}

// When the system gives no answer, the named proxy decides, as on the rest of
// the system (auto-detection is on by default and seldom finds a script);
// without one, direct. A script that cannot be fetched or run is said once; one
// that does not answer in time, for each host that waited for it.
void LogMissingAnswer(const SystemAnswer& answer, const std::string& host,
                      std::chrono::milliseconds deadline) {
    if (answer.outcome == SystemAnswer::kLate) {
        auto seconds = std::chrono::duration_cast<std::chrono::seconds>(
            deadline + std::chrono::milliseconds(999));
        LogPrint(GetLogUtility(),
                 L"Proxy script: no answer for %s within %lld s; not asked again "
                 L"in this run",
                 ToWide(host).c_str(), static_cast<long long>(seconds.count()));
        std::lock_guard<std::mutex> lock(g_decisionsLock);
        g_scriptLate = true;
        return;
    }
    std::lock_guard<std::mutex> lock(g_decisionsLock);
    if (g_scriptFailureLogged)
        return;
    g_scriptFailureLogged = true;
    LogPrint(GetLogUtility(), L"Proxy: no configuration script could be found or run, error %lu",
             answer.error);
}

// The entries of a decision for a host that is not loopback: the system's
// answer where the settings ask the system, else the settings' own proxy or the
// direct way.
std::vector<std::string> DecideEntries(const std::string& url, const std::string& host,
                                       bool& systemLogon) {
    std::string scheme;
    std::string ignored;
    http_url::SplitUrl(url, scheme, ignored);
    platform::ProxySettings settings = CurrentProxySettings();
    systemLogon = settings.systemLogon;
    bool askSystem = settings.autoDetect || !settings.scriptUrl.empty();
    std::chrono::milliseconds deadline;
    {
        std::lock_guard<std::mutex> lock(g_decisionsLock);
        askSystem = askSystem && !g_scriptLate;
        deadline = g_scriptDeadline;
    }
    if (askSystem) {
        SystemAnswer answer = AskSystemForProxies(settings, url, deadline);
        if (answer.outcome == SystemAnswer::kAnswered)
            return ParseProxyAnswer(answer.answer);
        LogMissingAnswer(answer, host, deadline);
    }
    return {ChooseFromSettings(settings, scheme, host).proxy};
}

}  // namespace

ProxyChoice ChooseProxy(const std::string& url) {
    std::string host;
    std::string key = DecisionKey(url, host);
    auto decision = std::make_shared<HostDecision>();
    {
        std::unique_lock<std::mutex> lock(g_decisionsLock);
        auto known = g_decisions.find(key);
        if (known != g_decisions.end()) {
            // The first asker's decision, which the script's deadline bounds.
            std::shared_ptr<HostDecision> made = known->second;
            g_decisionMade.wait_for(lock, g_scriptDeadline + kDecisionWaitMargin,
                                    [&made] { return made->made; });
            return CurrentChoice(*made);
        }
        g_decisions.emplace(key, decision);
    }
    // No lock is held while the system is asked: other hosts' decisions and
    // transfers go on.
    bool systemLogon = false;
    std::vector<std::string> entries;
    if (!IsLoopbackHost(host))
        entries = DecideEntries(url, host, systemLogon);
    ProxyChoice choice;
    bool settled = false;
    {
        std::lock_guard<std::mutex> lock(g_decisionsLock);
        decision->systemLogon = systemLogon;
        decision->tries = ProxyTries(entries);
        decision->made = true;
        settled = decision->tries.Settled();
        choice = CurrentChoice(*decision);
    }
    g_decisionMade.notify_all();
    if (settled)
        LogDecision(choice.proxy, host);
    return choice;
}

ProxyChoice ReportProxyUnreachable(const std::string& url, const std::string& proxy) {
    std::string host;
    std::string key = DecisionKey(url, host);
    ProxyChoice next;
    next.proxy = proxy;
    bool moved = false;
    bool settled = false;
    {
        std::lock_guard<std::mutex> lock(g_decisionsLock);
        auto known = g_decisions.find(key);
        if (known == g_decisions.end() || !known->second->made)
            return next;
        HostDecision& decision = *known->second;
        bool wasSettled = decision.tries.Settled();
        moved = decision.tries.Unreachable(proxy);
        settled = !wasSettled && decision.tries.Settled();
        next = CurrentChoice(decision);
    }
    if (moved) {
        std::wstring nextText =
            next.proxy.empty() ? L"DIRECT" : ToWide(WithoutCredentials(next.proxy));
        LogPrint(GetLogUtility(), L"Proxy try: %s for %s could not be connected; next %s",
                 ToWide(WithoutCredentials(proxy)).c_str(), ToWide(host).c_str(), nextText.c_str());
    }
    if (settled)
        LogDecision(next.proxy, host);
    return next;
}

void ReportProxyReached(const std::string& url, const std::string& proxy) {
    std::string host;
    std::string key = DecisionKey(url, host);
    {
        std::lock_guard<std::mutex> lock(g_decisionsLock);
        auto known = g_decisions.find(key);
        if (known == g_decisions.end() || !known->second->made ||
            !known->second->tries.Reached(proxy))
            return;
    }
    LogDecision(proxy, host);
}

void ForgetDecisionsForTesting() {
    std::lock_guard<std::mutex> lock(g_decisionsLock);
    g_decisions.clear();
    g_scriptFailureLogged = false;
    g_scriptLate = false;
}

void SetScriptDeadlineForTesting(std::chrono::milliseconds deadline) {
    std::lock_guard<std::mutex> lock(g_decisionsLock);
    g_scriptDeadline = deadline;
}

}  // namespace http_proxy
