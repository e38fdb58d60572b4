// The parts of a URL that the engine decides by: its scheme and its host.
#pragma once

#include <string>

namespace http_url {

// The scheme ("http", "https", in lower case) and the host of a URL (without brackets for an
// IPv6 address, in lower case). Credentials before an '@' and the port are left out.
void SplitUrl(const std::string& url, std::string& scheme, std::string& host);

// The host of a URL as SplitUrl gives it.
std::string HostOfUrl(const std::string& url);

}  // namespace http_url
