// One transfer of the engine from set-up to result: the one set-up every transfer goes through
// (protocols, trust, proxy, time-outs), the report of a failure, and the redirects followed hop by
// hop with a proxy decision for each.
#pragma once

#include <cstdint>
#include <string>

#include "http/curl_api.h"
#include "http/http_object.h"
#include "http/proxy_choice.h"
#include "http/response_headers.h"

namespace http_transfer {

// libcurl's connection time-out for every transfer of the engine, in seconds.
inline constexpr long kConnectTimeoutSeconds = 10;

// A transfer that follows redirects follows at most this many; a loop then ends the transfer.
inline constexpr long kMaxRedirects = 5;

// The receive buffer of the transfers that carry a file's body: on a fast link, fewer and larger
// blocks cost fewer receive calls (each far dearer under Wine than natively), write calls and
// locks per byte than libcurl's default of 16 KiB.
inline constexpr long kLargeReceiveBufferBytes = 512 * 1024;

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
    // The most bytes libcurl receives at once and hands the write function; 0 keeps its default.
    long receiveBufferBytes = 0;
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
                       const http_proxy::ProxyChoice& proxy, char* errorText);

// Logs why a transfer failed, once, with libcurl's own words from `errorText` (or `reason` where
// the engine itself refused): "Transfer: the certificate of HOST was refused: REASON" when the
// server's certificate was refused or the TLS handshake failed, else "Transfer: HOST failed:
// REASON".
void ReportFailure(CURL* curl, CURLcode code, const char* errorText,
                   const std::string& reason = std::string());

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
    // libcurl's words on why the last request failed, in a buffer that lives exactly as long as
    // the handle that writes into it. A thread-local buffer does not do: under Wine, the 32-bit
    // build then now and then found libcurl's words written over its own connections, and crashed.
    char errorText_[CURL_ERROR_SIZE] = {};
};

// Makes every later transfer trust the roots of this PEM text (the system's for an empty one)
// instead of the build's; null returns to the build's.
void SetTrustedRootsForTesting(const std::string* pem);

bool IsStopping(const IHttpTaskCallback* tasks);

}  // namespace http_transfer
