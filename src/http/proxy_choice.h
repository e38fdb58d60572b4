// Which proxy a transfer takes: the user's proxy settings (platform/proxy.h) applied to the
// transfer's URL, decided once per scheme and host in a run and logged then. Loopback never goes
// to a proxy, whatever the settings say, as browsers and Windows do.
#pragma once

#include <chrono>
#include <string>

#include "platform/proxy.h"

namespace http_proxy {

// The proxy of a URL: a libcurl proxy text ("host:port", or a URL with credentials), empty for
// direct; and whether the proxy may ask for the user's own logon.
struct ProxyChoice {
    std::string proxy;
    bool systemLogon = false;
};

// The decision for `url`, made on its scheme's and host's first transfer in this run and kept
// for every later one; a transfer that asks while another makes it waits for that one. Asking
// the system (auto-detection, the configuration script) has a deadline (kScriptDeadline); a
// script that misses it is logged and not asked again in this run, and the settings' named proxy
// or the direct way decides. Logs "Proxy: PROXY for HOST" (PROXY without credentials, or DIRECT)
// once the decision is settled: at once for a single way, and for a script's list of several
// when a transfer got through one of them. Until then it returns the entry to try now.
ProxyChoice ChooseProxy(const std::string& url);

// A transfer of `url` could not connect to `proxy`, the entry it tried. Returns the entry to try
// next: the decision's next one when `proxy` was its current one, else its current one (which
// may be `proxy` itself when none follows). Logs each move to the next entry.
ProxyChoice ReportProxyUnreachable(const std::string& url, const std::string& proxy);

// A transfer of `url` went through `proxy` (or direct, for an empty one): when that entry is the
// decision's current one and the decision was not settled, it is now, and it is logged.
void ReportProxyReached(const std::string& url, const std::string& proxy);

// Forgets the decisions made, so that the next transfer reads the settings anew.
void ForgetDecisionsForTesting();

// Sets how long the system may take for one decision; kScriptDeadline otherwise.
void SetScriptDeadlineForTesting(std::chrono::milliseconds deadline);

// localhost (and its subdomains), 127.0.0.0/8 and ::1.
bool IsLoopbackHost(const std::string& host);

// The decision the settings give for a scheme and host, without the system's auto-detection
// and scripts: the Windows named proxy with its bypass list, or the Linux environment.
ProxyChoice ChooseFromSettings(const platform::ProxySettings& settings, const std::string& scheme,
                               const std::string& host);

// The proxy of a scheme in an Internet Options proxy text: the "scheme=" entry of a per-scheme
// text, else the text itself when it names no scheme; empty when there is none.
std::string NamedProxyFor(const std::string& proxyText, const std::string& scheme);

// Whether a host is on an Internet Options bypass list: entries separated by ';' (or blanks or
// commas), compared without regard to case, '*' standing for any characters, and "<local>" for
// any host name without a dot.
bool BypassListMatches(const std::string& bypassList, const std::string& host);

// Whether a host is on a no_proxy list as libcurl reads it: entries separated by commas (or
// blanks); "*" alone for every host; an entry matches the host itself and the names under it
// ("example.com" and ".example.com" both match "a.example.com").
bool NoProxyMatches(const std::string& noProxy, const std::string& host);

// A proxy text taken apart: the address without credentials (its scheme kept), and the user
// name and password percent-decoded. The credentials end at the last '@', so that a raw '/' or
// '@' in a password stays in the password.
struct ProxyAddress {
    std::string address;
    bool hasCredentials = false;
    std::string user;
    std::string password;
};
ProxyAddress SplitProxyAddress(const std::string& proxy);

// The proxy text without credentials, as the log may show it.
std::string WithoutCredentials(const std::string& proxy);

}  // namespace http_proxy
