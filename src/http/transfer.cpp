#include "http/transfer.h"

#include <cstring>
#include <mutex>

#include "common/text.h"
#include "diagnostics/log.h"
#include "http/url_parts.h"

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
                       const http_proxy::ProxyChoice& proxy, char* errorText) {
    CURLcode first = CURLE_OK;
    auto keep = [&first](CURLcode code) {
        if (first == CURLE_OK)
            first = code;
    };
    std::string scheme, host;
    http_url::SplitUrl(url, scheme, host);
    keep(RestrictProtocols(curl, scheme == "https"));
    keep(curl_easy_setopt(curl, CURLOPT_URL, url.c_str()));
    keep(SetUpTrust(curl));
    keep(SetUpProxy(curl, proxy));
    errorText[0] = '\0';
    keep(curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, errorText));
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
    // A libcurl too old for a buffer this large keeps its own: only the speed differs.
    if (options.receiveBufferBytes > 0)
        curl_easy_setopt(curl, CURLOPT_BUFFERSIZE, options.receiveBufferBytes);
    return first;
}

void ReportFailure(CURL* curl, CURLcode code, const char* errorText, const std::string& reason) {
    char* effective = nullptr;
    std::string url;
    if (curl_easy_getinfo(curl, CURLINFO_EFFECTIVE_URL, &effective) == CURLE_OK &&
        effective != nullptr)
        url = effective;
    std::string words = !reason.empty()        ? reason
                        : errorText[0] != '\0' ? std::string(errorText)
                                               : std::string(curl_easy_strerror(code));
    if (reason.empty() && IsTlsRefusal(code))
        LogPrint(GetLogUtility(), L"Transfer: the certificate of %s was refused: %s",
                 ToWide(http_url::HostOfUrl(url)).c_str(), ToWide(words).c_str());
    else
        LogPrint(GetLogUtility(), L"Transfer: %s failed: %s",
                 ToWide(http_url::HostOfUrl(url)).c_str(), ToWide(words).c_str());
}

void SetTrustedRootsForTesting(const std::string* pem) {
    std::lock_guard<std::mutex> lock(g_rootsLock);
    g_rootsOverridden = pem != nullptr;
    g_rootsForTesting = pem != nullptr ? *pem : std::string();
}

}  // namespace http_transfer
