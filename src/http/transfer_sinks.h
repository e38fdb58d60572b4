// Where the bytes of a transfer go: the request's answer in memory, a download's file, with the
// libcurl write callbacks that fill them and stop at their limits or when the engine stops.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "http/http_object.h"

namespace http_transfer {

// The request keeps an answer whole up to this size; a longer one fails the request.
inline constexpr size_t kMaxRequestBodyBytes = 1024 * 1024;

// Where a request's answer goes; `tasks` tells when the engine shuts down.
struct RequestSink {
    std::string body;
    const IHttpTaskCallback* tasks = nullptr;
};

// Where a download's bytes go.
struct FileSink {
    std::FILE* file = nullptr;
    const IHttpTaskCallback* tasks = nullptr;
    // The most bytes the transfer may deliver: the stream's announced or expected size.
    uint64_t limit = UINT64_MAX;
    uint64_t written = 0;
    // Set when the server sent more than the limit and the write cut the transfer off.
    bool overrun = false;
    // Set when the file could not take the data (a full disk).
    bool writeFailed = false;
};

bool IsStopping(const IHttpTaskCallback* tasks);

// libcurl write callback of the request: appends to RequestSink::body.
size_t WriteRequestBody(char* data, size_t size, size_t count, void* sink);

// libcurl write callback of the stream: writes to FileSink::file; a short write ends the
// transfer with CURLE_WRITE_ERROR. Data that would take the file past FileSink::limit is not
// written and ends the transfer the same way, so a server that sends without end cannot fill
// the disk nor hold the download.
size_t WriteFileData(char* data, size_t size, size_t count, void* sink);

// libcurl progress callback of transfers that only need to stop when the engine does; the
// argument is the IHttpTaskCallback.
int AbortWhenStopping(void* tasks, double totalDown, double nowDown, double totalUp, double nowUp);

}  // namespace http_transfer
