// The download of one file: five ranged transfers on threads of their own into piece files,
// joined and checked against the expected length; when that fails, the whole file again in one
// stream with two tries.
#include "http/http_multi_dl_command.h"

#include <cstdio>
#include <utility>

#include "common/program_folder.h"
#include "common/text.h"
#include "diagnostics/log.h"
#include "http/curl_api.h"
#include "http/transfer_callbacks.h"
#include "platform/clock.h"
#include "platform/file.h"

CHttpMultiDlCommand::CHttpMultiDlCommand(std::string url, std::string localPath, int taskId,
                                         uint32_t expectedSize)
    : url_(std::move(url)),
      localPath_(std::move(localPath)),
      totalSize_(static_cast<double>(expectedSize)),
      taskId_(taskId),
      expectedSize_(expectedSize) {
    this->thread_ = platform::CreateWorkerThread(&DownloadThreadProc, this, true);
}

// The piece thread procedure; the argument is a PieceThreadArg.
unsigned CHttpMultiDlCommand::HttpExecuteThreadProc(void* argument) {
    LogPrint(GetLogUtility(), L"HttpExecuteThreadProc");
    auto* piece = static_cast<PieceThreadArg*>(argument);
    if (piece == nullptr || piece->command == nullptr || piece->index < 0 ||
        piece->index >= http_pieces::kPieceCount)
        return 1;
    piece->command->DownloadPiece(piece);
    return 0;
}

unsigned CHttpMultiDlCommand::DownloadThreadProc(void* argument) {
    auto* command = static_cast<CHttpMultiDlCommand*>(argument);
    if (!command->IsDiscarded())
        command->Execute();
    return command->FinishTask();
}

void CHttpMultiDlCommand::Execute() {
    // Failures are not reported here: the transfers then fail to open their files.
    CreateParentFolder(ToWidePath(localPath_));
    int result = this->IsStopping() ? 0 : SegmentedDownload();
    if (result != 1 && !this->IsStopping())
        result = SingleStreamDownload();
    if (this->owner_ != nullptr && !this->IsStopping()) {
        this->owner_->OnDownloadResult(taskId_, result, localPath_.c_str());
    }
}

int CHttpMultiDlCommand::SegmentedDownload() {
    if (totalSize_ <= 0)
        ProbeSize();
    if (totalSize_ <= 0)
        return 0;
    // Too large for the 32-bit ranges, or piece names that would not be whole paths: the
    // single stream fetches the file.
    if (totalSize_ > http_pieces::kMaxSegmentedSize || !http_pieces::PieceNamesFit(localPath_))
        return 0;

    PieceThreadArg arguments[http_pieces::kPieceCount];
    platform::ThreadHandle threads[http_pieces::kPieceCount];
    size_t started = 0;
    for (int i = 0; i < http_pieces::kPieceCount; ++i) {
        arguments[i].command = this;
        arguments[i].index = i;
        platform::ThreadHandle thread =
            platform::CreateWorkerThread(&HttpExecuteThreadProc, &arguments[i], false);
        if (thread != nullptr)
            threads[started++] = thread;
        LogPrint(GetLogUtility(), L"download thread %d start", i);
    }
    // Only the threads that exist are waited for: a null handle would end the wait at once
    // while the others still write their pieces.
    platform::WaitForAllThreads(threads, started, platform::kWaitInfinite);
    for (size_t i = 0; i < started; ++i)
        platform::CloseThreadHandle(threads[i]);

    if (this->IsStopping()) {
        http_pieces::DeletePieces(localPath_);
        return 0;
    }
    double joined = http_pieces::JoinPieces(localPath_);
    LogPrint(GetLogUtility(), L"Download file total size:%.2f, had download :%.2f", totalSize_,
             joined);
    return joined == totalSize_ ? 1 : 0;
}

// Asks the server for the file's length with a HEAD request.
void CHttpMultiDlCommand::ProbeSize() {
    CURL* curl = curl_easy_init();
    if (curl == nullptr)
        return;
    // Bounded like the pieces: a connection time-out and the stall watchdog.
    http_transfer::TransferOptions options;
    options.progress = &WatchProgress;
    options.progressData = static_cast<void*>(this);
    if (http_transfer::SetUpTransfer(curl, url_, options) != CURLE_OK) {
        curl_easy_cleanup(curl);
        return;
    }
    curl_easy_setopt(curl, CURLOPT_NOBODY, 1L);
    curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, &http_transfer::DiscardHeader);
    curl_easy_setopt(curl, CURLOPT_HEADER, 0L);
    http_transfer::StartStallWatch(streamWatch_);
    curl_easy_perform(curl);
    long httpCode = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &httpCode);
    double length = -1;
    // The probe follows no redirect, and the length of a redirect or an error page is not
    // the file's: the pieces would then join to that length and pass the check.
    if (httpCode >= 200 && httpCode <= 299 &&
        curl_easy_getinfo(curl, CURLINFO_CONTENT_LENGTH_DOWNLOAD, &length) == CURLE_OK)
        totalSize_ = length;
    curl_easy_cleanup(curl);
}

void CHttpMultiDlCommand::DownloadPiece(PieceThreadArg* argument) {
    int index = argument->index;
    std::string pieceName = http_pieces::PieceName(localPath_, index);
    std::string range = http_pieces::PieceRange(static_cast<uint32_t>(totalSize_), index);
    for (int attempt = 1; attempt <= 2; ++attempt) {
        if (this->IsStopping())
            return;
        std::FILE* file = platform::OpenStdioFile(pieceName, "wb+");
        if (file == nullptr)
            continue;
        CURL* curl = curl_easy_init();
        PieceProgress& piece = pieces_[index];
        piece.index = index;
        piece.received.store(0.0, std::memory_order_relaxed);
        piece.stallMark = 0;
        piece.lastCheckTick = platform::GetTickCount32();

        http_transfer::FileSink sink{file, this->taskCallback_};
        sink.limit = http_pieces::PieceLength(static_cast<uint32_t>(totalSize_), index);
        CURLcode code = CURLE_FAILED_INIT;
        if (curl != nullptr) {
            http_transfer::TransferOptions options;
            options.followRedirects = true;
            options.write = &http_transfer::WriteFileData;
            options.writeData = static_cast<void*>(&sink);
            options.progress = &PieceProgressProc;
            options.progressData = static_cast<void*>(argument);
            code = http_transfer::SetUpTransfer(curl, url_, options);
            if (code == CURLE_OK)
                code = curl_easy_setopt(curl, CURLOPT_RANGE, range.c_str());
            if (code == CURLE_OK)
                code = curl_easy_perform(curl);
        }
        int64_t fileSize = 0;
        platform::GetStdioFileLength(file, fileSize);
        std::fclose(file);
        // An answer longer than the range is not this range (a server that ignores ranges sends
        // the file from its start): its first bytes must not join as if they were the piece.
        if (sink.overrun) {
            std::FILE* emptied = platform::OpenStdioFile(pieceName, "wb");
            if (emptied != nullptr)
                std::fclose(emptied);
        }
        LogPrint(GetLogUtility(), L"thread %d download %d try perform, CURLcode:%d, filesize:%d",
                 index, attempt, static_cast<int>(code), static_cast<int>(fileSize));
        if (code == CURLE_OK) {
            long httpCode = 0;
            curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &httpCode);
            LogPrint(GetLogUtility(), L"thread %d download %d try perform success, HttpCode=%lu",
                     index, attempt, httpCode);
            curl_easy_cleanup(curl);
            return;
        }
        if (!this->IsStopping())
            platform::SleepMilliseconds(kRetryPauseMs);
        if (curl != nullptr)
            curl_easy_cleanup(curl);
    }
}

int CHttpMultiDlCommand::PieceProgressProc(void* data, double totalDown, double nowDown, double,
                                           double) {
    auto* piece = static_cast<PieceThreadArg*>(data);
    if (piece == nullptr || piece->command == nullptr || piece->index < 0 ||
        piece->index >= http_pieces::kPieceCount)
        return 1;
    CHttpMultiDlCommand* command = piece->command;
    if (command->IsStopping())
        return 1;
    PieceProgress& progress = command->pieces_[piece->index];
    if (http_transfer::StallWatchdogExpired(progress.lastCheckTick, progress.stallMark, nowDown,
                                            platform::GetTickCount32()))
        return 1;
    if (command->owner_ == nullptr || totalDown <= 0)
        return 0;
    progress.received.store(nowDown, std::memory_order_relaxed);
    double received = 0;
    for (const PieceProgress& each : command->pieces_)
        received += each.received.load(std::memory_order_relaxed);
    command->DeliverProgress(received / command->totalSize_);
    return 0;
}

int CHttpMultiDlCommand::SingleStreamDownload() {
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (this->IsStopping())
            return 0;
        LogPrint(GetLogUtility(), L"CHttpDlCommand::the %d try begin.", attempt);
        std::FILE* file = platform::OpenStdioFile(localPath_, "wb");
        if (file == nullptr)
            continue;
        CURL* curl = curl_easy_init();
        http_transfer::FileSink sink{file, this->taskCallback_};
        if (expectedSize_ != 0)
            sink.limit = expectedSize_;
        http_transfer::StartStallWatch(streamWatch_);
        CURLcode code = CURLE_FAILED_INIT;
        if (curl != nullptr) {
            // Bounded like the pieces: a connection time-out, and the stall watchdog in the
            // progress function; no overall limit, since packages are large.
            http_transfer::TransferOptions options;
            options.followRedirects = true;
            options.write = &http_transfer::WriteFileData;
            options.writeData = static_cast<void*>(&sink);
            options.progress = &StreamProgressProc;
            options.progressData = static_cast<void*>(this);
            code = http_transfer::SetUpTransfer(curl, url_, options);
            if (code == CURLE_OK)
                code = curl_easy_perform(curl);
        }
        if (code == CURLE_OK) {
            long httpCode = 0;
            curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &httpCode);
            int64_t fileSize = -1;
            platform::GetStdioFileLength(file, fileSize);
            std::fclose(file);
            curl_easy_cleanup(curl);
            // An error page or a file of another length than the caller expects is not the
            // package, however well it was transferred.
            bool statusGood = httpCode >= 200 && httpCode <= 299;
            bool lengthGood = expectedSize_ == 0 || fileSize == static_cast<int64_t>(expectedSize_);
            if (statusGood && lengthGood) {
                LogPrint(GetLogUtility(), L"CHttpDlCommand::the %d try success. HttpCode=%lu",
                         attempt, httpCode);
                return 1;
            }
            LogPrint(GetLogUtility(),
                     L"CHttpDlCommand::the %d try fail. HttpCode=%lu, filesize:%lld, expected:%u",
                     attempt, httpCode, static_cast<long long>(fileSize), expectedSize_);
            continue;
        }
        std::fclose(file);
        LogPrint(GetLogUtility(), L"CHttpDlCommand::the %d try fail. err=%d", attempt,
                 static_cast<int>(code));
        if (curl != nullptr)
            curl_easy_cleanup(curl);
    }
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
