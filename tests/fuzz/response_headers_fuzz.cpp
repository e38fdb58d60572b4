// Fuzz target for the header lines of an answer, which any server or anyone on the path of plain
// http writes: every sequence of lines is read without fault, and what is kept is sound: a range
// is kept only whole and in order, counts are never below -1, and a status line starts afresh.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "http/response_headers.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    http_transfer::ValidatorHeaders headers;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find('\n', start);
        std::string line = text.substr(start, end == std::string::npos ? end : end - start + 1);
        http_transfer::ReadHeaderLine(line, headers);
        if (line.compare(0, 5, "HTTP/") == 0 &&
            (!headers.etag.empty() || !headers.lastModified.empty() || headers.rangeTotal != -1 ||
             headers.rangeFirst != -1 || headers.contentLength != -1))
            std::abort();
        if ((headers.rangeFirst < 0) != (headers.rangeLast < 0) ||
            headers.rangeLast < headers.rangeFirst || headers.rangeTotal < -1 ||
            headers.contentLength < -1)
            std::abort();
        (void)http_transfer::ValidatorOf(headers);
        if (end == std::string::npos)
            break;
        start = end + 1;
    }
    return 0;
}
