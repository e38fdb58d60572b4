#include "http/transfer_callbacks.h"

#include "diagnostics/log.h"
#include "platform/clock.h"

namespace http_transfer {

void SetUpTransfer(CURL* curl, const std::string& url, const TransferOptions& options) {
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    if (options.write != nullptr) {
        curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, options.write);
        curl_easy_setopt(curl, CURLOPT_WRITEDATA, options.writeData);
    }
    if (options.timeoutSeconds > 0)
        curl_easy_setopt(curl, CURLOPT_TIMEOUT, options.timeoutSeconds);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, kConnectTimeoutSeconds);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    if (options.followRedirects)
        curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
    if (options.progress != nullptr) {
        curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
        curl_easy_setopt(curl, CURLOPT_PROGRESSFUNCTION, options.progress);
        curl_easy_setopt(curl, CURLOPT_PROGRESSDATA, options.progressData);
    }
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
    return std::fwrite(data, size, count, target->file);
}

size_t DiscardHeader(char*, size_t size, size_t count, void*) {
    return size * count;
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
