// The stream's tries and the probes: each a transfer bounded by a connection time-out and the
// stall watchdog, with no overall limit, since packages are large.
#include "http/single_stream.h"

#include <cstdio>
#include <utility>

#include "diagnostics/log.h"
#include "http/curl_api.h"
#include "http/response_headers.h"
#include "http/transfer.h"
#include "http/transfer_sinks.h"
#include "platform/file.h"

SingleStream::SingleStream(StreamHost& host, const IHttpTaskCallback* tasks, std::string url)
    : host_(host), tasks_(tasks), url_(std::move(url)) {}

uint64_t SingleStream::ProbeSize(std::string& finalUrl) {
    http_transfer::TransferOptions options;
    options.followRedirects = true;
    options.progress = &WatchProgress;
    options.progressData = static_cast<void*>(this);
    options.headersOnly = true;
    http_transfer::StartStallWatch(watch_);
    http_transfer::Transfer probe;
    probe.Run(url_, options);
    long httpCode = probe.ResponseCode();
    int64_t length = probe.AnnouncedLength();
    // Only the final answer's length is the file's: that of a redirect or an error page is
    // not, and the pieces would then join to that length and pass the check.
    if (httpCode < 200 || httpCode > 299 || length <= 0)
        return 0;
    std::string final = probe.FinalUrl();
    if (!final.empty())
        finalUrl = final;
    return static_cast<uint64_t>(length);
}

std::string SingleStream::ProbeValidator() {
    http_transfer::ValidatorHeaders headers;
    http_transfer::TransferOptions options;
    options.followRedirects = true;
    options.progress = &WatchProgress;
    options.progressData = static_cast<void*>(this);
    options.headers = &headers;
    options.headersOnly = true;
    http_transfer::StartStallWatch(watch_);
    http_transfer::Transfer probe;
    if (probe.Run(url_, options) == CURLE_OK && headers.status >= 200 && headers.status <= 299)
        return http_transfer::ValidatorOf(headers);
    return std::string();
}

bool SingleStream::Fetch(uint64_t size, bool digestJudges, const std::string& target) {
    size_ = size;
    digestJudges_ = digestJudges;
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (http_transfer::IsStopping(tasks_))
            break;
        LogPrint(GetLogUtility(), L"CHttpDlCommand::the %d try begin.", attempt);
        if (TryStream(attempt, target))
            return true;
    }
    return false;
}

namespace {

// One try of the stream: its file, and the answer's headers, whose announced length bounds the
// body; an answer without one is bounded by the length the caller expects.
struct StreamTry {
    http_transfer::FileSink sink;
    http_transfer::ValidatorHeaders headers;
    uint64_t expected = 0;
    bool started = false;
};

size_t WriteStreamData(char* data, size_t size, size_t count, void* streamTry) {
    auto* current = static_cast<StreamTry*>(streamTry);
    if (current == nullptr)
        return 0;
    if (!current->started) {
        current->started = true;
        if (current->headers.contentLength >= 0)
            current->sink.limit = static_cast<uint64_t>(current->headers.contentLength);
        else if (current->expected != 0)
            current->sink.limit = current->expected;
    }
    return http_transfer::WriteFileData(data, size, count, &current->sink);
}

}  // namespace

bool SingleStream::TryStream(int attempt, const std::string& target) {
    std::FILE* file = platform::OpenStdioFile(target, "wb");
    if (file == nullptr)
        return false;
    StreamTry stream;
    stream.sink = http_transfer::FileSink{file, tasks_};
    stream.expected = size_;
    http_transfer::StartStallWatch(watch_);
    http_transfer::TransferOptions options;
    options.followRedirects = true;
    options.write = &WriteStreamData;
    options.writeData = static_cast<void*>(&stream);
    options.progress = &StreamProgressProc;
    options.progressData = static_cast<void*>(this);
    options.headers = &stream.headers;
    options.receiveBufferBytes = http_transfer::kLargeReceiveBufferBytes;
    http_transfer::Transfer transfer;
    CURLcode code = transfer.Run(url_, options);
    if (code != CURLE_OK) {
        std::fclose(file);
        LogPrint(GetLogUtility(), L"CHttpDlCommand::the %d try fail. err=%d", attempt,
                 static_cast<int>(code));
        return false;
    }
    int64_t fileSize = -1;
    platform::GetStdioFileLength(file, fileSize);
    // The file's data is on the disk before its name is trusted.
    bool synced = platform::SyncStdioFile(file);
    bool closed = std::fclose(file) == 0 && synced;
    return Judge(attempt, target, transfer.ResponseCode(), stream.headers.contentLength, fileSize,
                 closed);
}

bool SingleStream::Judge(int attempt, const std::string& target, long httpCode, int64_t announced,
                         int64_t fileSize, bool closed) {
    // An error page is not the package, however well it was transferred. The length the server
    // announces governs (the package's digest judges the content); without one, the file is
    // checked against the length the caller expects, or else the probe found.
    bool statusGood = httpCode >= 200 && httpCode <= 299;
    if (statusGood && announced >= 0 && size_ != 0 && static_cast<uint64_t>(announced) != size_)
        LogPrint(GetLogUtility(),
                 L"CHttpDlCommand::the server announces %lld bytes, the answer %llu",
                 static_cast<long long>(announced), static_cast<unsigned long long>(size_));
    bool lengthGood = announced >= 0 ? fileSize == announced
                                     : size_ == 0 || fileSize == static_cast<int64_t>(size_);
    if (statusGood && lengthGood && closed) {
        // Where the server's answers disagreed, the digest judges the stream's file too.
        if (digestJudges_ && !host_.HasExpectedDigest(target)) {
            LogPrint(GetLogUtility(), L"CHttpDlCommand: stream try %d refused, digest differs",
                     attempt);
            return false;
        }
        if (digestJudges_)
            LogPrint(GetLogUtility(), L"CHttpDlCommand: stream try %d, digest matches", attempt);
        LogPrint(GetLogUtility(), L"CHttpDlCommand::the %d try success. HttpCode=%lu", attempt,
                 httpCode);
        return true;
    }
    LogPrint(GetLogUtility(),
             L"CHttpDlCommand: stream try %d refused, HttpCode=%lu, filesize:%lld, expected:%llu",
             attempt, httpCode, static_cast<long long>(fileSize),
             static_cast<unsigned long long>(size_));
    return false;
}

int SingleStream::StreamProgressProc(void* data, double totalDown, double nowDown, double, double) {
    if (WatchProgress(data, totalDown, nowDown, 0, 0) != 0)
        return 1;
    auto* stream = static_cast<SingleStream*>(data);
    if (stream != nullptr && totalDown > 0)
        stream->host_.StreamProgress(nowDown / totalDown);
    return 0;
}

int SingleStream::WatchProgress(void* data, double, double nowDown, double, double) {
    auto* stream = static_cast<SingleStream*>(data);
    if (stream == nullptr)
        return 0;
    if (http_transfer::IsStopping(stream->tasks_) ||
        http_transfer::StallWatchdogExpired(stream->watch_, nowDown))
        return 1;
    return 0;
}
