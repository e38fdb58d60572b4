#include "http/transfer_callbacks.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include <mutex>

#include "base/ascii.h"
#include "common/text.h"
#include "diagnostics/log.h"
#include "http/proxy_choice.h"
#include "platform/clock.h"

namespace http_transfer {

namespace {

// The root certificates the build pins (PEM), or an empty text for the system's.
const char kBuildRoots[] =
#include "http/trusted_roots.inc"
    ;

std::mutex g_rootsLock;
bool g_rootsOverridden = false;
std::string g_rootsForTesting;

std::string TrustedRoots() {
    std::lock_guard<std::mutex> lock(g_rootsLock);
    return g_rootsOverridden ? g_rootsForTesting : std::string(kBuildRoots);
}

// libcurl's words on why a transfer failed, for the thread's current transfer: every transfer
// runs start to end on one thread.
thread_local char t_errorText[CURL_ERROR_SIZE];

// The failures in which the server's certificate was not accepted or the TLS handshake did not
// come about.
bool IsTlsRefusal(CURLcode code) {
    switch (code) {
        case CURLE_SSL_CONNECT_ERROR:
        case CURLE_SSL_CERTPROBLEM:
        case CURLE_SSL_CIPHER:
        case CURLE_PEER_FAILED_VERIFICATION:
        case CURLE_SSL_CACERT_BADFILE:
        case CURLE_SSL_ISSUER_ERROR:
        case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
        case CURLE_SSL_INVALIDCERTSTATUS:
            return true;
        default:
            return false;
    }
}

// Whether the linked libcurl was built with TLS: only then is https allowed.
bool LibraryHasHttps() {
    const curl_version_info_data* info = curl_version_info(CURLVERSION_NOW);
    if (info == nullptr || info->protocols == nullptr)
        return false;
    for (const char* const* each = info->protocols; *each != nullptr; ++each) {
        if (std::strcmp(*each, "https") == 0)
            return true;
    }
    return false;
}

// The URL of an answer is chosen by whoever writes the answer, and the service is plain HTTP, so
// anyone on the path can. Without a restriction libcurl would take every scheme it was built
// with (local files, gopher, dict, ...) for the URL and ftp for a redirect.
// A transfer that began over https is never redirected to plain http, where anyone on the path
// could answer in the server's name.
CURLcode RestrictProtocols(CURL* curl, bool https) {
#if LIBCURL_VERSION_NUM >= 0x075500
    // libcurl refuses the name of a protocol it was built without, so "https" is listed only
    // where it has TLS.
    static const std::string allowed = LibraryHasHttps() ? "http,https" : "http";
    CURLcode code = curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, allowed.c_str());
    if (code == CURLE_OK)
        code =
            curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, https ? "https" : allowed.c_str());
    return code;
#else
    static const long allowed = CURLPROTO_HTTP | (LibraryHasHttps() ? CURLPROTO_HTTPS : 0);
    CURLcode code = curl_easy_setopt(curl, CURLOPT_PROTOCOLS, allowed);
    if (code == CURLE_OK)
        code = curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS, https ? CURLPROTO_HTTPS : allowed);
    return code;
#endif
}

// TLS 1.2 at the least; the build's pinned roots and no others where it pins any, else the
// system's. Revocation is checked where the system can check it (Windows), but a revocation
// server that cannot be reached does not fail the transfer: behind a proxy or offline every
// update would fail.
CURLcode SetUpTrust(CURL* curl) {
    CURLcode first = curl_easy_setopt(curl, CURLOPT_SSLVERSION, long{CURL_SSLVERSION_TLSv1_2});
    if (first == CURLE_OK)
        first = curl_easy_setopt(curl, CURLOPT_SSL_OPTIONS, long{CURLSSLOPT_REVOKE_BEST_EFFORT});
    std::string roots = TrustedRoots();
    if (first != CURLE_OK || roots.empty())
        return first;
    curl_blob blob;
    blob.data = roots.data();
    blob.len = roots.size();
    blob.flags = CURL_BLOB_COPY;
    first = curl_easy_setopt(curl, CURLOPT_CAINFO_BLOB, &blob);
    // A folder of roots would be trusted beside the blob. A TLS library that takes no folder
    // (Schannel) has none to trust.
    if (first == CURLE_OK) {
        CURLcode folder = curl_easy_setopt(curl, CURLOPT_CAPATH, static_cast<char*>(nullptr));
        if (folder != CURLE_NOT_BUILT_IN && folder != CURLE_UNKNOWN_OPTION)
            first = folder;
    }
    return first;
}

// A decimal number of 1 to 18 digits (so that it fits a signed 64-bit value), else -1.
int64_t ParseByteCount(const std::string& text) {
    if (text.empty() || text.size() > 18 ||
        text.find_first_not_of("0123456789") != std::string::npos)
        return -1;
    return std::strtoll(text.c_str(), nullptr, 10);
}

// "bytes FIRST-LAST/TOTAL"; each part that is not a plain number (such as the "*" of an
// unsatisfiable range) stays -1.
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

// The proxy decided for this URL, set explicitly, so that nothing else (such as libcurl's reading
// of the environment and of no_proxy) decides; an empty text means direct. Credentials go to
// libcurl apart from the address, so that none of its messages can show them and a raw '/' or '@'
// in a password cannot be taken for the end of the credentials. A proxy without them that asks for
// a logon gets the user's own where the system can give it. The proxy's answer to CONNECT never
// reaches the header function: only the server's answer is judged.
CURLcode SetUpProxy(CURL* curl, const http_proxy::ProxyChoice& choice) {
    http_proxy::ProxyAddress parts = http_proxy::SplitProxyAddress(choice.proxy);
    CURLcode first = curl_easy_setopt(curl, CURLOPT_PROXY, parts.address.c_str());
    if (first == CURLE_OK)
        first = curl_easy_setopt(curl, CURLOPT_NOPROXY, "");
    if (first == CURLE_OK)
        first = curl_easy_setopt(curl, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
    if (first != CURLE_OK || choice.proxy.empty())
        return first;
    if (parts.hasCredentials) {
        first = curl_easy_setopt(curl, CURLOPT_PROXYUSERNAME, parts.user.c_str());
        if (first == CURLE_OK)
            first = curl_easy_setopt(curl, CURLOPT_PROXYPASSWORD, parts.password.c_str());
    } else if (choice.systemLogon) {
        first = curl_easy_setopt(curl, CURLOPT_PROXYAUTH, CURLAUTH_NTLM | CURLAUTH_NEGOTIATE);
        if (first == CURLE_OK)
            first = curl_easy_setopt(curl, CURLOPT_PROXYUSERPWD, ":");
    }
    return first;
}

}  // namespace

CURLcode SetUpTransfer(CURL* curl, const std::string& url, const TransferOptions& options,
                       const http_proxy::ProxyChoice& proxy) {
    CURLcode first = CURLE_OK;
    auto keep = [&first](CURLcode code) {
        if (first == CURLE_OK)
            first = code;
    };
    std::string scheme, host;
    http_proxy::SplitUrl(url, scheme, host);
    keep(RestrictProtocols(curl, scheme == "https"));
    keep(curl_easy_setopt(curl, CURLOPT_URL, url.c_str()));
    keep(SetUpTrust(curl));
    keep(SetUpProxy(curl, proxy));
    t_errorText[0] = '\0';
    keep(curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, t_errorText));
    if (options.write != nullptr) {
        keep(curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, options.write));
        keep(curl_easy_setopt(curl, CURLOPT_WRITEDATA, options.writeData));
    }
    if (options.timeoutSeconds > 0)
        keep(curl_easy_setopt(curl, CURLOPT_TIMEOUT, options.timeoutSeconds));
    keep(curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, kConnectTimeoutSeconds));
    keep(curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L));
    if (options.progress != nullptr) {
        keep(curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L));
        keep(curl_easy_setopt(curl, CURLOPT_PROGRESSFUNCTION, options.progress));
        keep(curl_easy_setopt(curl, CURLOPT_PROGRESSDATA, options.progressData));
    }
    if (options.headers != nullptr) {
        keep(curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, &CollectValidatorHeader));
        keep(curl_easy_setopt(curl, CURLOPT_HEADERDATA, options.headers));
    } else if (options.headersOnly) {
        keep(curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, &DiscardHeader));
    }
    if (options.headersOnly)
        keep(curl_easy_setopt(curl, CURLOPT_NOBODY, 1L));
    if (!options.range.empty())
        keep(curl_easy_setopt(curl, CURLOPT_RANGE, options.range.c_str()));
    return first;
}

namespace {

std::string HostOfUrl(const std::string& url) {
    std::string scheme, host;
    http_proxy::SplitUrl(url, scheme, host);
    return host;
}

}  // namespace

void ReportFailure(CURL* curl, CURLcode code, const std::string& reason) {
    char* effective = nullptr;
    std::string url;
    if (curl_easy_getinfo(curl, CURLINFO_EFFECTIVE_URL, &effective) == CURLE_OK &&
        effective != nullptr)
        url = effective;
    std::string words = !reason.empty()          ? reason
                        : t_errorText[0] != '\0' ? std::string(t_errorText)
                                                 : std::string(curl_easy_strerror(code));
    if (reason.empty() && IsTlsRefusal(code))
        LogPrint(GetLogUtility(), L"Transfer: the certificate of %s was refused: %s",
                 ToWide(HostOfUrl(url)).c_str(), ToWide(words).c_str());
    else
        LogPrint(GetLogUtility(), L"Transfer: %s failed: %s", ToWide(HostOfUrl(url)).c_str(),
                 ToWide(words).c_str());
}

void SetTrustedRootsForTesting(const std::string* pem) {
    std::lock_guard<std::mutex> lock(g_rootsLock);
    g_rootsOverridden = pem != nullptr;
    g_rootsForTesting = pem != nullptr ? *pem : std::string();
}

bool IsStopping(const IHttpTaskCallback* tasks) {
    return tasks != nullptr && tasks->IsStopping();
}

size_t WriteRequestBody(char* data, size_t size, size_t count, void* sink) {
    auto* request = static_cast<RequestSink*>(sink);
    size_t bytes = size * count;
    if (request == nullptr || data == nullptr)
        return bytes;
    if (IsStopping(request->tasks))
        return 0;
    // Beyond the cap the answer cannot be what the owner expects; returning less than given
    // makes libcurl fail the request.
    if (bytes > kMaxRequestBodyBytes - request->body.size())
        return 0;
    request->body.append(data, bytes);
    return bytes;
}

size_t WriteFileData(char* data, size_t size, size_t count, void* sink) {
    auto* target = static_cast<FileSink*>(sink);
    if (target == nullptr || target->file == nullptr || data == nullptr) {
        LogPrint(GetLogUtility(), L"WriteData return 0");
        return 0;
    }
    if (IsStopping(target->tasks))
        return 0;
    uint64_t bytes = static_cast<uint64_t>(size) * count;
    if (bytes > target->limit - target->written) {
        if (!target->overrun)
            LogPrint(GetLogUtility(), L"WriteData: more than the %llu bytes asked for, try cut off",
                     static_cast<unsigned long long>(target->limit));
        target->overrun = true;
        return 0;
    }
    // A span moved back by a split: keep what it still holds and end the transfer there.
    uint64_t keep = bytes;
    if (target->spanLength != nullptr) {
        uint64_t end = target->spanLength->load(std::memory_order_acquire);
        uint64_t have = target->base + target->written;
        keep = have >= end ? 0 : std::min<uint64_t>(bytes, end - have);
    }
    size_t stored = std::fwrite(data, 1, static_cast<size_t>(keep), target->file);
    target->written += stored;
    if (target->published != nullptr)
        target->published->store(target->base + target->written, std::memory_order_relaxed);
    if (stored < keep) {
        target->writeFailed = true;
        return 0;
    }
    if (keep < bytes)
        return 0;  // the span's end is reached
    return size == 0 ? 0 : count;
}

size_t DiscardHeader(char*, size_t size, size_t count, void*) {
    return size * count;
}

size_t CollectValidatorHeader(char* data, size_t size, size_t count, void* headers) {
    size_t bytes = size * count;
    auto* kept = static_cast<ValidatorHeaders*>(headers);
    if (kept == nullptr || data == nullptr)
        return bytes;
    std::string line(data, bytes);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
        line.pop_back();
    if (line.compare(0, 5, "HTTP/") == 0) {
        *kept = ValidatorHeaders();
        size_t blank = line.find(' ');
        if (blank != std::string::npos)
            kept->status = std::strtol(line.c_str() + blank + 1, nullptr, 10);
        return bytes;
    }
    size_t colon = line.find(':');
    if (colon == std::string::npos)
        return bytes;
    std::string name = ToLowerAscii(line.substr(0, colon));
    size_t valueStart = line.find_first_not_of(" \t", colon + 1);
    std::string value = valueStart == std::string::npos ? std::string() : line.substr(valueStart);
    while (!value.empty() && (value.back() == ' ' || value.back() == '\t'))
        value.pop_back();
    if (name == "etag")
        kept->etag = value;
    else if (name == "last-modified")
        kept->lastModified = value;
    else if (name == "content-range")
        ParseContentRange(value, *kept);
    else if (name == "content-length")
        kept->contentLength = ParseByteCount(value);
    return bytes;
}

std::string ValidatorOf(const ValidatorHeaders& headers) {
    // A weak ETag says the content may differ in its bytes: it cannot vouch for ranges.
    if (!headers.etag.empty() && headers.etag.compare(0, 2, "W/") != 0)
        return "etag " + headers.etag;
    if (!headers.lastModified.empty())
        return "last-modified " + headers.lastModified;
    return std::string();
}

int AbortWhenStopping(void* tasks, double, double, double, double) {
    return IsStopping(static_cast<IHttpTaskCallback*>(tasks)) ? 1 : 0;
}

void StartStallWatch(StallWatch& watch) {
    watch.stallMark = 0;
    watch.lastCheckTick = platform::GetTickCount32();
}

bool StallWatchdogExpired(uint32_t& lastCheckTick, double& stallMark, double downloadedNow,
                          uint32_t nowTick) {
    if (nowTick - lastCheckTick <= kStallLimitMs)
        return false;
    if (downloadedNow <= stallMark)
        return true;
    stallMark = downloadedNow;
    lastCheckTick = nowTick;
    return false;
}

bool StallWatchdogExpired(StallWatch& watch, double downloadedNow) {
    return StallWatchdogExpired(watch.lastCheckTick, watch.stallMark, downloadedNow,
                                platform::GetTickCount32());
}

}  // namespace http_transfer
