// The Internet Options' proxy settings of the current user, and the answers of auto-detection
// and configuration scripts, through WinHTTP, as other Windows programs read them.
#include "platform/proxy.h"

#include <windows.h>

#include <winhttp.h>

namespace platform {

namespace {

// WinHTTP hands out strings the caller frees with GlobalFree.
std::wstring TakeGlobalString(LPWSTR text) {
    std::wstring copy = text != nullptr ? text : L"";
    if (text != nullptr)
        GlobalFree(text);
    return copy;
}

// Every step of WinHTTP's own (resolving, connecting, sending, receiving) gets at most this
// long, in milliseconds, so that a script server that never answers ends the ask; a script that
// never returns is bounded by the caller.
constexpr int kStepTimeoutMs = 5000;

}  // namespace

ProxySettings GetUserProxySettings() {
    ProxySettings settings;
    settings.systemLogon = true;
    WINHTTP_CURRENT_USER_IE_PROXY_CONFIG config = {};
    if (!WinHttpGetIEProxyConfigForCurrentUser(&config))
        return settings;
    settings.autoDetect = config.fAutoDetect != FALSE;
    settings.scriptUrl = TakeGlobalString(config.lpszAutoConfigUrl);
    settings.namedProxy = TakeGlobalString(config.lpszProxy);
    settings.bypassList = TakeGlobalString(config.lpszProxyBypass);
    return settings;
}

bool FindProxiesForUrl(const ProxySettings& settings, const std::wstring& url,
                       std::wstring& proxies, unsigned long& error) {
    proxies.clear();
    error = 0;
    if (!settings.autoDetect && settings.scriptUrl.empty())
        return true;
    HINTERNET session = WinHttpOpen(L"PallatonUpdater", WINHTTP_ACCESS_TYPE_NO_PROXY,
                                    WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0);
    if (session == nullptr) {
        error = GetLastError();
        return false;
    }
    WinHttpSetTimeouts(session, kStepTimeoutMs, kStepTimeoutMs, kStepTimeoutMs, kStepTimeoutMs);
    WINHTTP_AUTOPROXY_OPTIONS options = {};
    if (settings.autoDetect) {
        options.dwFlags |= WINHTTP_AUTOPROXY_AUTO_DETECT;
        options.dwAutoDetectFlags = WINHTTP_AUTO_DETECT_TYPE_DHCP | WINHTTP_AUTO_DETECT_TYPE_DNS_A;
    }
    if (!settings.scriptUrl.empty()) {
        options.dwFlags |= WINHTTP_AUTOPROXY_CONFIG_URL;
        options.lpszAutoConfigUrl = settings.scriptUrl.c_str();
    }
    // A script server that asks for a logon gets the user's own.
    options.fAutoLogonIfChallenged = TRUE;
    WINHTTP_PROXY_INFO info = {};
    bool found = WinHttpGetProxyForUrl(session, url.c_str(), &options, &info) != FALSE;
    if (!found)
        error = GetLastError();
    std::wstring list = TakeGlobalString(info.lpszProxy);
    TakeGlobalString(info.lpszProxyBypass);
    if (found && info.dwAccessType == WINHTTP_ACCESS_TYPE_NAMED_PROXY)
        proxies = list;
    WinHttpCloseHandle(session);
    return found;
}

}  // namespace platform
