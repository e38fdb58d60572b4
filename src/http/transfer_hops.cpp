// Transfer::Run: the hops of a transfer, each a request of its own with the proxy decision of its
// own host.
#include <algorithm>
#include <string>
#include <vector>

#include "http/proxy_choice.h"
#include "http/transfer.h"
#include "http/url_parts.h"

namespace http_transfer {

namespace {

// Where a hop's answer goes: to the options' writer, unless the answer is a redirect that the
// transfer follows; its body is of no use, and the request ends at its first byte.
struct HopState {
    const TransferOptions* options = nullptr;
    CURL* curl = nullptr;
    bool judged = false;
    bool redirect = false;
};

// The URL that the current answer redirects to, when it is a redirect to follow; else empty.
std::string RedirectTarget(CURL* curl) {
    long status = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    if (status < 300 || status > 399 || status == 304 || status == 305)
        return std::string();
    char* target = nullptr;
    if (curl_easy_getinfo(curl, CURLINFO_REDIRECT_URL, &target) != CURLE_OK || target == nullptr)
        return std::string();
    return target;
}

size_t WriteHopData(char* data, size_t size, size_t count, void* hop) {
    auto* state = static_cast<HopState*>(hop);
    if (!state->judged) {
        state->judged = true;
        state->redirect = state->options->followRedirects && !RedirectTarget(state->curl).empty();
    }
    if (state->redirect)
        return 0;
    // Without a writer of its own, a transfer keeps no body.
    if (state->options->write == nullptr)
        return size * count;
    return state->options->write(data, size, count, state->options->writeData);
}

// Only http and https are fetched, and once a transfer has reached https, never plain http,
// where anyone on the path could answer in the server's name.
bool SchemeAllowed(const std::string& scheme, bool secure) {
    return scheme == "https" || (scheme == "http" && !secure);
}

// A failure to reach the proxy itself, not the server behind it: with a proxy set, the only
// connection libcurl makes is to the proxy.
bool ProxyNotConnected(CURLcode code) {
    return code == CURLE_COULDNT_CONNECT || code == CURLE_COULDNT_RESOLVE_PROXY;
}

}  // namespace

CURLcode Transfer::PerformHop(const std::string& hop, const TransferOptions& options,
                              bool& redirect, bool& performed) {
    std::vector<std::string> tried;
    http_proxy::ProxyChoice proxy = http_proxy::ChooseProxy(hop);
    for (;;) {
        if (used_)
            curl_easy_reset(curl_);
        used_ = true;
        HopState state;
        state.options = &options;
        state.curl = curl_;
        CURLcode code = SetUpTransfer(curl_, hop, options, proxy, errorText_);
        if (code == CURLE_OK)
            code = curl_easy_setopt(curl_, CURLOPT_WRITEFUNCTION, &WriteHopData);
        if (code == CURLE_OK)
            code = curl_easy_setopt(curl_, CURLOPT_WRITEDATA, static_cast<void*>(&state));
        performed = code == CURLE_OK;
        if (!performed)
            return code;
        code = curl_easy_perform(curl_);
        redirect = state.redirect;
        if (proxy.proxy.empty() || !ProxyNotConnected(code)) {
            http_proxy::ReportProxyReached(hop, proxy.proxy);
            return code;
        }
        // Each entry at most once: the decision's entries only move forward, and one this
        // request has tried ends it.
        tried.push_back(proxy.proxy);
        proxy = http_proxy::ReportProxyUnreachable(hop, proxy.proxy);
        if (std::find(tried.begin(), tried.end(), proxy.proxy) != tried.end())
            return code;
    }
}

CURLcode Transfer::Run(const std::string& url, const TransferOptions& options) {
    if (curl_ == nullptr)
        return CURLE_FAILED_INIT;
    std::string hop = url;
    bool secure = false;
    for (long redirects = 0;; ++redirects) {
        std::string scheme, host;
        http_url::SplitUrl(hop, scheme, host);
        if (redirects > 0 && !SchemeAllowed(scheme, secure)) {
            ReportFailure(curl_, CURLE_UNSUPPORTED_PROTOCOL, errorText_,
                          "a redirect to " + scheme + " is refused");
            return CURLE_UNSUPPORTED_PROTOCOL;
        }
        secure = secure || scheme == "https";
        bool redirect = false;
        bool performed = false;
        CURLcode code = PerformHop(hop, options, redirect, performed);
        if (!performed)
            return code;
        std::string target;
        if (options.followRedirects && (code == CURLE_OK || redirect))
            target = RedirectTarget(curl_);
        if (target.empty()) {
            if (code != CURLE_OK)
                ReportFailure(curl_, code, errorText_);
            return code;
        }
        if (redirects == kMaxRedirects) {
            ReportFailure(curl_, CURLE_TOO_MANY_REDIRECTS, errorText_,
                          "more than " + std::to_string(kMaxRedirects) + " redirects");
            return CURLE_TOO_MANY_REDIRECTS;
        }
        hop = target;
    }
}

}  // namespace http_transfer
