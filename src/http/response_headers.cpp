#include "http/response_headers.h"

#include <cstdlib>

#include "base/ascii.h"

namespace http_transfer {

int64_t ParseByteCount(const std::string& text) {
    if (text.empty() || text.size() > 18 ||
        text.find_first_not_of("0123456789") != std::string::npos)
        return -1;
    return std::strtoll(text.c_str(), nullptr, 10);
}

void ParseContentRange(const std::string& value, ValidatorHeaders& headers) {
    if (value.compare(0, 6, "bytes ") != 0)
        return;
    size_t slash = value.find('/', 6);
    if (slash == std::string::npos)
        return;
    headers.rangeTotal = ParseByteCount(value.substr(slash + 1));
    std::string span = value.substr(6, slash - 6);
    size_t dash = span.find('-');
    if (dash == std::string::npos)
        return;
    int64_t first = ParseByteCount(span.substr(0, dash));
    int64_t last = ParseByteCount(span.substr(dash + 1));
    if (first >= 0 && last >= first) {
        headers.rangeFirst = first;
        headers.rangeLast = last;
    }
}

void ReadHeaderLine(const std::string& text, ValidatorHeaders& headers) {
    std::string line = text;
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
        line.pop_back();
    if (line.compare(0, 5, "HTTP/") == 0) {
        headers = ValidatorHeaders();
        size_t blank = line.find(' ');
        if (blank != std::string::npos)
            headers.status = std::strtol(line.c_str() + blank + 1, nullptr, 10);
        return;
    }
    size_t colon = line.find(':');
    if (colon == std::string::npos)
        return;
    std::string name = ToLowerAscii(line.substr(0, colon));
    size_t valueStart = line.find_first_not_of(" \t", colon + 1);
    std::string value = valueStart == std::string::npos ? std::string() : line.substr(valueStart);
    while (!value.empty() && (value.back() == ' ' || value.back() == '\t'))
        value.pop_back();
    if (name == "etag")
        headers.etag = value;
    else if (name == "last-modified")
        headers.lastModified = value;
    else if (name == "content-range")
        ParseContentRange(value, headers);
    else if (name == "content-length")
        headers.contentLength = ParseByteCount(value);
}

std::string ValidatorOf(const ValidatorHeaders& headers) {
    // A weak ETag says the content may differ in its bytes: it cannot vouch for ranges.
    if (!headers.etag.empty() && headers.etag.compare(0, 2, "W/") != 0)
        return "etag " + headers.etag;
    if (!headers.lastModified.empty())
        return "last-modified " + headers.lastModified;
    return std::string();
}

size_t DiscardHeader(char*, size_t size, size_t count, void*) {
    return size * count;
}

size_t CollectValidatorHeader(char* data, size_t size, size_t count, void* headers) {
    size_t bytes = size * count;
    auto* kept = static_cast<ValidatorHeaders*>(headers);
    if (kept != nullptr && data != nullptr)
        ReadHeaderLine(std::string(data, bytes), *kept);
    return bytes;
}

}  // namespace http_transfer
