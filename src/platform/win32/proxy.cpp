// The Internet Options' proxy settings of the current user, and the answers of auto-detection
// and configuration scripts, through WinHTTP, as other Windows programs read them.
#include "platform/proxy.h"

#include <windows.h>

#include <winhttp.h>

#include <mutex>
#include <string>

namespace platform {

namespace {

// WinHTTP hands out strings the caller frees with GlobalFree.
std::wstring TakeGlobalString(LPWSTR text) {
    std::wstring copy = text != nullptr ? text : L"";
    if (text != nullptr)
        GlobalFree(text);
    return copy;
}

// The URL and host as the script engine takes them; they are ASCII (a host in its punycode).
std::string ToAscii(const std::wstring& text) {
    std::string ascii;
    for (wchar_t c : text)
        ascii += c < 0x80 ? static_cast<char>(c) : '?';
    return ascii;
}

std::wstring AsciiToWide(const std::string& ascii) {
    return std::wstring(ascii.begin(), ascii.end());
}

// Every step of WinHTTP's own (resolving, connecting, sending, receiving) gets at most this
// long, in milliseconds, so that a script server that never answers ends the ask; a script that
// never returns is bounded by the caller.
constexpr int kStepTimeoutMs = 5000;

// The longest configuration script taken.
constexpr size_t kMaxScriptBytes = 1024 * 1024;

// A WinHTTP handle closed at the end of its scope.
class InternetHandle {
  public:
    explicit InternetHandle(HINTERNET handle) : handle_(handle) {}
    ~InternetHandle() {
        if (handle_ != nullptr)
            WinHttpCloseHandle(handle_);
    }
    InternetHandle(const InternetHandle&) = delete;
    InternetHandle& operator=(const InternetHandle&) = delete;
    HINTERNET get() const { return handle_; }

  private:
    HINTERNET handle_;
};

HINTERNET OpenSession() {
    HINTERNET session = WinHttpOpen(L"PallatonUpdater", WINHTTP_ACCESS_TYPE_NO_PROXY,
                                    WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0);
    if (session != nullptr)
        WinHttpSetTimeouts(session, kStepTimeoutMs, kStepTimeoutMs, kStepTimeoutMs, kStepTimeoutMs);
    return session;
}

// The body of a 200 answer to a GET of `url`, without any proxy (as WinHTTP fetches scripts).
bool DownloadScript(const std::wstring& url, std::string& script) {
    URL_COMPONENTS parts = {};
    parts.dwStructSize = sizeof(parts);
    parts.dwHostNameLength = static_cast<DWORD>(-1);
    parts.dwUrlPathLength = static_cast<DWORD>(-1);
    parts.dwExtraInfoLength = static_cast<DWORD>(-1);
    if (!WinHttpCrackUrl(url.c_str(), 0, 0, &parts) || parts.lpszHostName == nullptr)
        return false;
    std::wstring host(parts.lpszHostName, parts.dwHostNameLength);
    std::wstring path(parts.lpszUrlPath != nullptr ? parts.lpszUrlPath : L"",
                      parts.dwUrlPathLength);
    if (parts.lpszExtraInfo != nullptr)
        path.append(parts.lpszExtraInfo, parts.dwExtraInfoLength);
    InternetHandle session(OpenSession());
    InternetHandle connection(session.get() != nullptr
                                  ? WinHttpConnect(session.get(), host.c_str(), parts.nPort, 0)
                                  : nullptr);
    DWORD secure = parts.nScheme == INTERNET_SCHEME_HTTPS ? WINHTTP_FLAG_SECURE : 0;
    InternetHandle request(
        connection.get() != nullptr
            ? WinHttpOpenRequest(connection.get(), L"GET", path.empty() ? L"/" : path.c_str(),
                                 nullptr, WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES, secure)
            : nullptr);
    DWORD status = 0;
    DWORD size = sizeof(status);
    if (request.get() == nullptr ||
        !WinHttpSendRequest(request.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0,
                            WINHTTP_NO_REQUEST_DATA, 0, 0, 0) ||
        !WinHttpReceiveResponse(request.get(), nullptr) ||
        !WinHttpQueryHeaders(request.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                             WINHTTP_HEADER_NAME_BY_INDEX, &status, &size,
                             WINHTTP_NO_HEADER_INDEX) ||
        status != 200)
        return false;
    char buffer[8192];
    for (;;) {
        DWORD read = 0;
        if (!WinHttpReadData(request.get(), buffer, sizeof(buffer), &read))
            return false;
        if (read == 0)
            return true;
        script.append(buffer, read);
        if (script.size() > kMaxScriptBytes)
            return false;
    }
}

// The functions of the system's script engine for configuration scripts (jsproxy.dll), which
// give the script's own answer: every entry of it, the direct way included.
struct ScriptBuffer {
    DWORD dwStructSize;
    LPSTR lpszScriptBuffer;
    DWORD dwScriptBufferSize;
};
using InitializeEngine = BOOL(WINAPI*)(DWORD, LPSTR, LPSTR, void*, ScriptBuffer*);
using RunEngine = BOOL(WINAPI*)(LPCSTR, DWORD, LPSTR, DWORD, LPSTR*, LPDWORD);
using ReleaseEngine = BOOL(WINAPI*)(LPSTR, DWORD);

struct ScriptEngine {
    InitializeEngine initialize = nullptr;
    RunEngine run = nullptr;
    ReleaseEngine release = nullptr;
};

// Loaded once from the system folder, never from the program's, where anyone could place one.
const ScriptEngine& Engine() {
    static const ScriptEngine engine = [] {
        ScriptEngine found;
        wchar_t folder[MAX_PATH] = {};
        UINT length = GetSystemDirectoryW(folder, MAX_PATH);
        if (length == 0 || length >= MAX_PATH)
            return found;
        HMODULE library = LoadLibraryW((std::wstring(folder) + L"\\jsproxy.dll").c_str());
        if (library == nullptr)
            return found;
        found.initialize = reinterpret_cast<InitializeEngine>(
            reinterpret_cast<void*>(GetProcAddress(library, "InternetInitializeAutoProxyDll")));
        found.run = reinterpret_cast<RunEngine>(
            reinterpret_cast<void*>(GetProcAddress(library, "InternetGetProxyInfo")));
        found.release = reinterpret_cast<ReleaseEngine>(
            reinterpret_cast<void*>(GetProcAddress(library, "InternetDeInitializeAutoProxyDll")));
        return found;
    }();
    return engine;
}

// The engine holds one script for the whole process: one run at a time. A run that never returns
// keeps this lock, and the caller's deadline ends every later wait for it.
std::mutex g_engineLock;

// FindProxyForURL(url, host) of `script`, as the script answers it.
bool RunScript(const std::string& script, const std::wstring& url, std::wstring& answer) {
    const ScriptEngine& engine = Engine();
    if (engine.initialize == nullptr || engine.run == nullptr || engine.release == nullptr)
        return false;
    URL_COMPONENTS parts = {};
    parts.dwStructSize = sizeof(parts);
    parts.dwHostNameLength = static_cast<DWORD>(-1);
    if (!WinHttpCrackUrl(url.c_str(), 0, 0, &parts) || parts.lpszHostName == nullptr)
        return false;
    std::string narrowUrl = ToAscii(url);
    std::string host = ToAscii(std::wstring(parts.lpszHostName, parts.dwHostNameLength));
    std::string text = script;
    ScriptBuffer buffer = {sizeof(ScriptBuffer), &text[0], static_cast<DWORD>(text.size() + 1)};
    std::lock_guard<std::mutex> lock(g_engineLock);
    if (!engine.initialize(0, nullptr, nullptr, nullptr, &buffer))
        return false;
    LPSTR result = nullptr;
    DWORD resultLength = 0;
    bool ran = engine.run(narrowUrl.c_str(), static_cast<DWORD>(narrowUrl.size()), &host[0],
                          static_cast<DWORD>(host.size()), &result, &resultLength) != FALSE;
    // The answer's text is left to the process: which heap the engine takes it from differs
    // between systems, and it is a few bytes once per host and run.
    if (ran && result != nullptr)
        answer = AsciiToWide(result);
    engine.release(nullptr, 0);
    return ran && result != nullptr;
}

// The script's own answer for `url`: the detected script's, else that of the settings' URL.
bool AskScriptEngine(const ProxySettings& settings, const std::wstring& url, std::wstring& answer) {
    std::wstring scriptUrl;
    LPWSTR detected = nullptr;
    if (settings.autoDetect &&
        WinHttpDetectAutoProxyConfigUrl(
            WINHTTP_AUTO_DETECT_TYPE_DHCP | WINHTTP_AUTO_DETECT_TYPE_DNS_A, &detected))
        scriptUrl = TakeGlobalString(detected);
    if (scriptUrl.empty())
        scriptUrl = settings.scriptUrl;
    std::string script;
    return !scriptUrl.empty() && DownloadScript(scriptUrl, script) &&
           RunScript(script, url, answer);
}

// WinHTTP's own answer: its list of the script's proxies ("a:1;b:2"), without any direct way.
bool AskWinHttp(const ProxySettings& settings, const std::wstring& url, std::wstring& proxies,
                unsigned long& error) {
    InternetHandle session(OpenSession());
    if (session.get() == nullptr) {
        error = GetLastError();
        return false;
    }
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
    bool found = WinHttpGetProxyForUrl(session.get(), url.c_str(), &options, &info) != FALSE;
    if (!found)
        error = GetLastError();
    std::wstring list = TakeGlobalString(info.lpszProxy);
    TakeGlobalString(info.lpszProxyBypass);
    if (found && info.dwAccessType == WINHTTP_ACCESS_TYPE_NAMED_PROXY)
        proxies = list;
    return found;
}

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
    // The script's own answer where the system's engine runs it here; otherwise (no engine, a
    // script server that asks for a logon, ...) WinHTTP's, which keeps only its proxies.
    if (AskScriptEngine(settings, url, proxies))
        return true;
    proxies.clear();
    return AskWinHttp(settings, url, proxies, error);
}

}  // namespace platform
