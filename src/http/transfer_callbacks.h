// The libcurl side of the engine's transfers: the one set-up every transfer goes through, the
// request's body writer, the file writer of pieces and streams, the header sink of the size probe,
// the stall watchdog, and the progress function of transfers that report nothing.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "http/curl_api.h"
#include "http/http_object.h"
#include "http/proxy_choice.h"

namespace http_transfer {

// libcurl's connection time-out for every transfer of the engine, in seconds.
inline constexpr long kConnectTimeoutSeconds = 10;

// A transfer that follows redirects follows at most this many; a loop then ends the transfer.
inline constexpr long kMaxRedirects = 5;

// A transfer that receives no new byte for longer than this is aborted.
inline constexpr uint32_t kStallLimitMs = 15000;

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
    // The most bytes the transfer may deliver: what a piece's range asks for, or the stream's
    // expected size.
    uint64_t limit = UINT64_MAX;
    uint64_t written = 0;
    // Set when the server sent more than the limit and the write cut the transfer off.
    bool overrun = false;
    // Set when the file could not take the data (a full disk).
    bool writeFailed = false;
    // A piece's span, whose end another thread may move back meanwhile: the transfer ends once
    // the file holds `base` (the bytes it had before this try) plus `written` bytes reaching
    // that end. Null for a fixed limit.
    const std::atomic<uint64_t>* spanLength = nullptr;
    uint64_t base = 0;
    // Where the file's length (base + written) is published for the progress; may be null.
    std::atomic<uint64_t>* published = nullptr;
};

// The validators of the last answer whose headers libcurl has passed on: those of the final
// answer after redirects.
struct ValidatorHeaders {
    long status = 0;
    std::string etag;
    std::string lastModified;
    // A ranged answer's Content-Range "bytes FIRST-LAST/TOTAL": the inclusive bounds of the
    // bytes it carries and the file's whole length; -1 for each that is not given.
    int64_t rangeFirst = -1;
    int64_t rangeLast = -1;
    int64_t rangeTotal = -1;
    // The body's length as the answer's Content-Length gives it; -1 when it gives none.
    int64_t contentLength = -1;
};

// The validator a later download compares: the ETag, else the Last-Modified date; empty when
// the answer has neither.
std::string ValidatorOf(const ValidatorHeaders& headers);

// A transfer's stall watch: when it last looked and what it saw then.
struct StallWatch {
    uint32_t lastCheckTick = 0;
    double stallMark = 0;
};

// What a transfer asks of libcurl beyond the engine's common settings.
struct TransferOptions {
    // The overall limit in seconds; 0 for none.
    long timeoutSeconds = 0;
    bool followRedirects = false;
    // Where the body goes; no write function keeps libcurl's default.
    curl_write_callback write = nullptr;
    void* writeData = nullptr;
    // Called throughout the transfer; a non-zero return aborts it.
    curl_progress_callback progress = nullptr;
    void* progressData = nullptr;
    // Where the final answer's status and validators go; null keeps no header. The answers of
    // redirects pass it too, each starting afresh.
    ValidatorHeaders* headers = nullptr;
    // The inclusive byte range "first-last" to ask for; empty for the whole file.
    std::string range;
    // Asks for the headers only (a HEAD request).
    bool headersOnly = false;
};

// Sets up one request of `url`: only http (and https where the linked libcurl has TLS), through
// `proxy` (the decision of the URL's own host, or the entry of it to try now), the engine's
// connection time-out, no signals (transfers run on worker threads), and the options' overall
// limit, write and progress functions. libcurl follows no redirect: Transfer::Run does, deciding
// each hop's proxy. Returns the first error libcurl gave for a setting; the caller must then not
// perform the transfer, since it could run without the protocol restriction.
//
// Over https it also sets TLS 1.2 as the least version, the build's pinned roots as the only
// trusted ones where the build pins any (else the system's), and revocation checked where the
// system can without failing when it cannot.
CURLcode SetUpTransfer(CURL* curl, const std::string& url, const TransferOptions& options,
                       const http_proxy::ProxyChoice& proxy);

// Logs why a transfer failed, once, with libcurl's own words (or `reason` where the engine
// itself refused): "Transfer: the certificate of HOST was refused: REASON" when the server's
// certificate was refused or the TLS handshake failed, else "Transfer: HOST failed: REASON".
void ReportFailure(CURL* curl, CURLcode code, const std::string& reason = std::string());

// One transfer from set-up to result: every transfer of the engine goes through it, so that a
// setting that all of them need is made in SetUpTransfer alone.
class Transfer {
  public:
    Transfer() : curl_(curl_easy_init()) {}
    ~Transfer() {
        if (curl_ != nullptr)
            curl_easy_cleanup(curl_);
    }
    Transfer(const Transfer&) = delete;
    Transfer& operator=(const Transfer&) = delete;

    // Performs the transfer of `url` with `options`. With followRedirects, each redirect is a
    // new request, up to kMaxRedirects, with the proxy decision of its own host; a redirect to
    // another scheme than http or https, or from https to plain http, is refused. A request
    // whose proxy cannot be connected is made again through the decision's next entry, each
    // entry at most once. The first failure of a setting ends it before any request; a failure
    // is logged once.
    CURLcode Run(const std::string& url, const TransferOptions& options);

    // The final answer's HTTP status; 0 when there was none.
    long ResponseCode() const {
        long code = 0;
        if (curl_ != nullptr)
            curl_easy_getinfo(curl_, CURLINFO_RESPONSE_CODE, &code);
        return code;
    }

    // The length the final answer announced; -1 when it announced none.
    int64_t AnnouncedLength() const {
        curl_off_t length = -1;
        if (curl_ == nullptr ||
            curl_easy_getinfo(curl_, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length) != CURLE_OK)
            return -1;
        return static_cast<int64_t>(length);
    }

    // The URL of the last request made: the final one after redirects.
    std::string FinalUrl() const {
        char* effective = nullptr;
        if (curl_ == nullptr ||
            curl_easy_getinfo(curl_, CURLINFO_EFFECTIVE_URL, &effective) != CURLE_OK ||
            effective == nullptr)
            return std::string();
        return effective;
    }

  private:
    // One hop's request through the decision's entries; `performed` is false when a setting
    // failed and nothing was asked.
    CURLcode PerformHop(const std::string& hop, const TransferOptions& options, bool& redirect,
                        bool& performed);

    CURL* curl_;
    bool used_ = false;  // a request was set up before: the next starts from a reset handle
};

// Makes every later transfer trust the roots of this PEM text (the system's for an empty one)
// instead of the build's; null returns to the build's.
void SetTrustedRootsForTesting(const std::string* pem);

bool IsStopping(const IHttpTaskCallback* tasks);

// libcurl write callback of the request: appends to RequestSink::body.
size_t WriteRequestBody(char* data, size_t size, size_t count, void* sink);

// libcurl write callback of pieces and streams: writes to FileSink::file; a short write ends the
// transfer with CURLE_WRITE_ERROR. Data that would take the file past FileSink::limit is not
// written and ends the transfer the same way, so a server that sends without end cannot fill
// the disk nor hold the download.
size_t WriteFileData(char* data, size_t size, size_t count, void* sink);

// libcurl header callback of the size probe: accepts every header line and keeps nothing.
size_t DiscardHeader(char* data, size_t size, size_t count, void* unused);

// libcurl header callback that keeps the status and validators of each answer in a
// ValidatorHeaders, starting afresh at each status line.
size_t CollectValidatorHeader(char* data, size_t size, size_t count, void* headers);

// libcurl progress callback of transfers that only need to stop when the engine does; the
// argument is the IHttpTaskCallback.
int AbortWhenStopping(void* tasks, double totalDown, double nowDown, double totalUp, double nowUp);

// Starts a try's watch at the current tick count.
void StartStallWatch(StallWatch& watch);

// The stall watchdog, run on every progress call: true (abort the try) when more than
// kStallLimitMs have passed since the last look and no new byte has arrived meanwhile; otherwise
// a look that is due records the count and the time. The tick difference is unsigned, so the
// counter's wrap-around does no harm.
bool StallWatchdogExpired(uint32_t& lastCheckTick, double& stallMark, double downloadedNow,
                          uint32_t nowTick);
bool StallWatchdogExpired(StallWatch& watch, double downloadedNow);

}  // namespace http_transfer
