// The single stream that fetches the whole file when the segmented download cannot, and the size
// probe that finds the file's length when the caller has none; both watched for stalls.
#include "http/http_multi_dl_command.h"

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "common/text.h"
#include "diagnostics/log.h"
#include "http/curl_api.h"
#include "http/download_pieces.h"
#include "http/stall_watch.h"
#include "http/transfer.h"
#include "http/transfer_sinks.h"
#include "platform/clock.h"
#include "platform/file.h"
#include "platform/path.h"

std::string CHttpMultiDlCommand::ProbeSize() {
    // Bounded like the pieces: a connection time-out and the stall watchdog.
    http_transfer::TransferOptions options;
    options.followRedirects = true;
    options.progress = &WatchProgress;
    options.progressData = static_cast<void*>(this);
    options.headersOnly = true;
    http_transfer::StartStallWatch(streamWatch_);
    http_transfer::Transfer probe;
    probe.Run(url_, options);
    long httpCode = probe.ResponseCode();
    int64_t length = probe.AnnouncedLength();
    // Only the final answer's length is the file's: that of a redirect or an error page is
    // not, and the pieces would then join to that length and pass the check.
    if (httpCode >= 200 && httpCode <= 299 && length > 0) {
        size_ = static_cast<uint64_t>(length);
        totalSize_ = static_cast<double>(size_);
        std::string final = probe.FinalUrl();
        if (!final.empty())
            return final;
    }
    return url_;
}

int CHttpMultiDlCommand::SingleStreamDownload() {
    uint64_t free = 0;
    if (size_ != 0 && !ReserveDiskSpace(size_, free)) {
        RefuseForDiskSpace(size_, free);
        return 0;
    }
    // The stream writes beside the destination and replaces it only with a good file; a path
    // too long for that name is written in place. Pieces kept for a later download stay in the
    // partial file: the stream then has a name of its own, or where that does not fit, they go.
    std::string target = http_pieces::PartialNameFor(localPath_);
    bool piecesKept = board_.StateKept();
    if (piecesKept && http_pieces::StreamNameFits(localPath_)) {
        target = http_pieces::StreamName(localPath_);
    } else if (piecesKept) {
        http_pieces::DeletePieces(localPath_);
    }
    bool beside = !target.empty();
    if (!beside)
        target = localPath_;
    int result = 0;
    for (int attempt = 0; attempt < 2 && result == 0; ++attempt) {
        if (this->IsStopping())
            break;
        LogPrint(GetLogUtility(), L"CHttpDlCommand::the %d try begin.", attempt);
        result = TryStream(attempt, target);
    }
    if (!beside)
        return result;
    if (result == 1 && platform::ReplacePath(ToWidePath(target), ToWidePath(localPath_)))
        return 1;
    platform::DeletePath(ToWidePath(target));
    if (result == 1)
        DestinationInUse();
    return 0;
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

int CHttpMultiDlCommand::TryStream(int attempt, const std::string& target) {
    std::FILE* file = platform::OpenStdioFile(target, "wb");
    if (file == nullptr)
        return 0;
    StreamTry stream;
    stream.sink = http_transfer::FileSink{file, this->taskCallback_};
    stream.expected = size_;
    http_transfer::StartStallWatch(streamWatch_);
    // Bounded like the pieces: a connection time-out, and the stall watchdog in the progress
    // function; no overall limit, since packages are large.
    http_transfer::TransferOptions options;
    options.followRedirects = true;
    options.write = &WriteStreamData;
    options.writeData = static_cast<void*>(&stream);
    options.progress = &StreamProgressProc;
    options.progressData = static_cast<void*>(this);
    options.headers = &stream.headers;
    http_transfer::Transfer transfer;
    CURLcode code = transfer.Run(url_, options);
    if (code != CURLE_OK) {
        std::fclose(file);
        LogPrint(GetLogUtility(), L"CHttpDlCommand::the %d try fail. err=%d", attempt,
                 static_cast<int>(code));
        return 0;
    }
    long httpCode = transfer.ResponseCode();
    int64_t fileSize = -1;
    platform::GetStdioFileLength(file, fileSize);
    // The file's data is on the disk before its name is trusted.
    bool synced = platform::SyncStdioFile(file);
    bool closed = std::fclose(file) == 0 && synced;
    // An error page is not the package, however well it was transferred. The length the server
    // announces governs (the package's digest judges the content); without one, the file is
    // checked against the length the caller expects, or else the probe found.
    bool statusGood = httpCode >= 200 && httpCode <= 299;
    int64_t announced = stream.headers.contentLength;
    if (statusGood && announced >= 0 && size_ != 0 && static_cast<uint64_t>(announced) != size_)
        LogPrint(GetLogUtility(),
                 L"CHttpDlCommand::the server announces %lld bytes, the answer %llu",
                 static_cast<long long>(announced), static_cast<unsigned long long>(size_));
    bool lengthGood = announced >= 0 ? fileSize == announced
                                     : size_ == 0 || fileSize == static_cast<int64_t>(size_);
    if (statusGood && lengthGood && closed) {
        // Where the server's answers disagreed, the digest judges the stream's file too.
        if (verdicts_.digestJudges.load() && !HasExpectedDigest(target)) {
            LogPrint(GetLogUtility(), L"CHttpDlCommand: stream try %d refused, digest differs",
                     attempt);
            return 0;
        }
        if (verdicts_.digestJudges.load())
            LogPrint(GetLogUtility(), L"CHttpDlCommand: stream try %d, digest matches", attempt);
        LogPrint(GetLogUtility(), L"CHttpDlCommand::the %d try success. HttpCode=%lu", attempt,
                 httpCode);
        return 1;
    }
    LogPrint(GetLogUtility(),
             L"CHttpDlCommand: stream try %d refused, HttpCode=%lu, filesize:%lld, expected:%llu",
             attempt, httpCode, static_cast<long long>(fileSize),
             static_cast<unsigned long long>(size_));
    return 0;
}

int CHttpMultiDlCommand::StreamProgressProc(void* data, double totalDown, double nowDown, double,
                                            double) {
    if (WatchProgress(data, totalDown, nowDown, 0, 0) != 0)
        return 1;
    auto* command = static_cast<CHttpMultiDlCommand*>(data);
    if (command != nullptr && command->owner_ != nullptr && totalDown > 0)
        command->DeliverProgress(nowDown / totalDown);
    return 0;
}

// The size probe's progress function: only the shutdown and the stall watchdog.
int CHttpMultiDlCommand::WatchProgress(void* data, double, double nowDown, double, double) {
    auto* command = static_cast<CHttpMultiDlCommand*>(data);
    if (command == nullptr)
        return 0;
    if (command->IsStopping() ||
        http_transfer::StallWatchdogExpired(command->streamWatch_, nowDown))
        return 1;
    return 0;
}

void CHttpMultiDlCommand::DeliverProgress(double fraction) {
    if (!this->IsStopping())
        this->owner_->OnDownloadProgress(taskId_, fraction);
}
