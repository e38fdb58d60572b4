// The environment's proxy settings, read as libcurl reads them: http_proxy only in lower case (a
// web server's CGI programs get HTTP_PROXY from a request header), the others in either case.
#include "platform/proxy.h"

#include <cstdlib>

namespace platform {

namespace {

std::string Variable(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

std::string EitherCase(const char* lower, const char* upper) {
    std::string value = Variable(lower);
    return value.empty() ? Variable(upper) : value;
}

}  // namespace

ProxySettings GetUserProxySettings() {
    ProxySettings settings;
    settings.httpProxy = Variable("http_proxy");
    settings.httpsProxy = EitherCase("https_proxy", "HTTPS_PROXY");
    settings.allProxy = EitherCase("all_proxy", "ALL_PROXY");
    settings.noProxy = EitherCase("no_proxy", "NO_PROXY");
    return settings;
}

bool FindProxiesForUrl(const ProxySettings&, const std::wstring&, std::wstring& proxies,
                       unsigned long& error) {
    proxies.clear();
    error = 0;
    return true;
}

}  // namespace platform
