// Where the user's proxy settings come from: the Internet Options of the current user on
// Windows (as WinHTTP reads them), the environment on Linux (as libcurl reads it). Mechanisms
// only: which proxy a transfer takes is decided above.
#pragma once

#include <string>

namespace platform {

struct ProxySettings {
    // Windows, Internet Options: find the configuration script by the network's announcement
    // (DHCP, DNS), or use the one at `scriptUrl`.
    bool autoDetect = false;
    std::wstring scriptUrl;
    // Windows: the named proxy ("host:port", or per scheme "http=host:port;https=host:port")
    // and its bypass list (";"-separated, "*" wildcards, "<local>"), when enabled.
    std::wstring namedProxy;
    std::wstring bypassList;
    // Linux, the environment: http_proxy (lower case only), https_proxy, all_proxy and
    // no_proxy (lower case first, then upper case, except for http_proxy).
    std::string httpProxy;
    std::string httpsProxy;
    std::string allProxy;
    std::string noProxy;
    // The proxy may ask for the user's own logon (Windows, through the system's security
    // packages); otherwise credentials come only in the proxy's URL.
    bool systemLogon = false;
};

// Reads the current user's proxy settings. Settings that cannot be read are empty: direct.
ProxySettings GetUserProxySettings();

// Asks the system for the proxies of `url` by auto-detection and/or the configuration script of
// `settings` (Windows; Linux has neither). `proxies` receives the system's answer: the script's
// own ("PROXY a:1; PROXY b:2; DIRECT") where the system's script engine can be called directly,
// else WinHTTP's list of proxies ("a:1;b:2", separated by ';' or blanks); empty for direct. False
// when detection or the script failed; `error` then holds the system's error code. Each network
// step has a time-out, but a script that loops never returns: the caller bounds the wait.
bool FindProxiesForUrl(const ProxySettings& settings, const std::wstring& url,
                       std::wstring& proxies, unsigned long& error);

}  // namespace platform
