#include "http/url_parts.h"

#include "base/ascii.h"

namespace http_url {

void SplitUrl(const std::string& url, std::string& scheme, std::string& host) {
    size_t colon = url.find("://");
    scheme = colon == std::string::npos ? "http" : ToLowerAscii(url.substr(0, colon));
    size_t start = colon == std::string::npos ? 0 : colon + 3;
    size_t end = url.find_first_of("/?#", start);
    std::string authority = url.substr(start, end == std::string::npos ? end : end - start);
    size_t at = authority.rfind('@');
    if (at != std::string::npos)
        authority.erase(0, at + 1);
    if (!authority.empty() && authority[0] == '[') {
        size_t close = authority.find(']');
        host = ToLowerAscii(authority.substr(1, close == std::string::npos ? close : close - 1));
        return;
    }
    host = ToLowerAscii(authority.substr(0, authority.find(':')));
}

std::string HostOfUrl(const std::string& url) {
    std::string scheme, host;
    SplitUrl(url, scheme, host);
    return host;
}

}  // namespace http_url
