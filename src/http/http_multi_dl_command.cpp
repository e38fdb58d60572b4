// The download of one file: ranged transfers on five threads into piece files, joined into a
// partial file that replaces the destination once its length is right; when that fails, the
// whole file again in one stream with two tries, also into the partial file.
#include "http/http_multi_dl_command.h"

#include <algorithm>
#include <cstdio>
#include <utility>
#include <vector>

#include "common/program_folder.h"
#include "common/text.h"
#include "diagnostics/log.h"
#include "http/curl_api.h"
#include "http/download_turns.h"
#include "http/transfer_callbacks.h"
#include "platform/clock.h"
#include "platform/file.h"
#include "platform/path.h"

namespace {

std::atomic<int64_t> g_freeSpaceForTesting{-1};

// The room that running downloads have reserved on the disk: the download folder is one, so
// every download counts against the same free space.
std::mutex g_roomLock;
uint64_t g_reservedRoom = 0;

void EmptyFile(const std::string& path) {
    std::FILE* emptied = platform::OpenStdioFile(path, "wb");
    if (emptied != nullptr)
        std::fclose(emptied);
}

}  // namespace

// One try of one piece: where its bytes go and what its answer said.
struct CHttpMultiDlCommand::PieceTry {
    CHttpMultiDlCommand* command = nullptr;
    int index = 0;
    http_transfer::FileSink sink;
    http_transfer::ValidatorHeaders headers;
    bool headersSeen = false;
    // The bytes asked for, inclusive; the last may lie past the file's end.
    uint64_t firstByte = 0;
    uint64_t lastByte = 0;
    // The answer was judged to be the range asked: its body may reach the file.
    bool accepted = false;
};

CHttpMultiDlCommand::CHttpMultiDlCommand(std::string url, std::string localPath, int taskId,
                                         uint64_t expectedSize)
    : url_(std::move(url)),
      localPath_(std::move(localPath)),
      totalSize_(static_cast<double>(expectedSize)),
      taskId_(taskId),
      size_(expectedSize),
      maxPieces_(http_pieces::MaxPiecesFor(localPath_)) {
    this->thread_ =
        platform::CreateWorkerThread(&DownloadThreadProc, this, true, platform::kSmallStackBytes);
}

void CHttpMultiDlCommand::SetFreeSpaceForTesting(int64_t bytes) {
    g_freeSpaceForTesting.store(bytes);
}

// The piece thread procedure; the argument is a PieceThreadArg.
unsigned CHttpMultiDlCommand::HttpExecuteThreadProc(void* argument) {
    LogPrint(GetLogUtility(), L"HttpExecuteThreadProc");
    auto* piece = static_cast<PieceThreadArg*>(argument);
    if (piece == nullptr || piece->command == nullptr || piece->index < 0 ||
        piece->index >= http_pieces::kPieceCount)
        return 1;
    piece->command->RunPieceWorker(piece->index);
    return 0;
}

unsigned CHttpMultiDlCommand::DownloadThreadProc(void* argument) {
    auto* command = static_cast<CHttpMultiDlCommand*>(argument);
    if (!command->IsDiscarded())
        command->Execute();
    return command->FinishTask();
}

void CHttpMultiDlCommand::Execute() {
    // Only a few downloads transfer at once; this one waits for its turn.
    http_turns::DownloadTurn turn(this->taskCallback_);
    if (!turn.Held())
        return;  // the engine stops: nobody is told anything any more
    // Failures are not reported here: the transfers then fail to open their files.
    CreateParentFolder(ToWidePath(localPath_));
    int result = 0;
    // A destination that cannot be replaced would only be fetched in vain.
    if (!this->IsStopping() && !DestinationInUse()) {
        result = SegmentedDownload();
        // The file changed on the server while its pieces came: once more with fresh pieces.
        if (result != 1 && fileChanged_.load() && !this->IsStopping()) {
            ResetPieces();
            result = SegmentedDownload();
        }
    }
    if (result != 1 && !noRoom_ && !inUse_ && !this->IsStopping())
        result = SingleStreamDownload();
    // Whatever way the file came, pieces of it are of no more use.
    if (result == 1 && http_pieces::PieceNamesFit(localPath_))
        http_pieces::DeletePieces(localPath_);
    ReleaseRoom();
    if (this->owner_ != nullptr && !this->IsStopping()) {
        this->owner_->OnDownloadResult(taskId_, result, localPath_.c_str());
    }
}

bool CHttpMultiDlCommand::DestinationInUse() {
    if (!inUse_ && platform::IsFileInUse(ToWidePath(localPath_))) {
        LogPrint(GetLogUtility(), L"Download file: the destination is in use:[%s]",
                 ToWidePath(localPath_).c_str());
        inUse_ = true;
    }
    return inUse_;
}

bool CHttpMultiDlCommand::ReserveRoom(uint64_t needed, uint64_t& free) {
    int64_t forced = g_freeSpaceForTesting.load();
    if (forced >= 0) {
        free = static_cast<uint64_t>(forced);
    } else {
        std::wstring folder = ToWidePath(localPath_);
        size_t separator = folder.find_last_of(platform::kPathSeparator);
        folder = separator == std::wstring::npos ? L"." : folder.substr(0, separator + 1);
        // A volume that cannot be asked is not refused: the writes then tell.
        if (!platform::GetFreeDiskBytes(folder, free))
            return true;
    }
    std::lock_guard<std::mutex> lock(g_roomLock);
    uint64_t others = g_reservedRoom - reserved_;
    free = free > others ? free - others : 0;
    if (needed > free)
        return false;
    g_reservedRoom = others + needed;
    reserved_ = needed;
    return true;
}

void CHttpMultiDlCommand::ReleaseRoom() {
    std::lock_guard<std::mutex> lock(g_roomLock);
    g_reservedRoom -= reserved_;
    reserved_ = 0;
}

void CHttpMultiDlCommand::RefuseForRoom(uint64_t needed, uint64_t free) {
    LogPrint(GetLogUtility(), L"Download file: not enough free space, need:%llu, free:%llu",
             static_cast<unsigned long long>(needed), static_cast<unsigned long long>(free));
    noRoom_ = true;
}

int CHttpMultiDlCommand::SegmentedDownload() {
    if (size_ == 0)
        ProbeSize();
    if (size_ == 0)
        return 0;
    // Piece names that would not be whole paths: the single stream fetches the file.
    if (size_ > http_pieces::kMaxSegmentedSize || maxPieces_ < http_pieces::kPieceCount)
        return 0;
    uint64_t held = PreparePieces();
    // The pieces hold the file; the join renames the first and copies the others one at a
    // time, deleting each after its copy, so one piece more than the file is on the disk.
    uint64_t largest = 0;
    {
        std::lock_guard<std::mutex> lock(piecesLock_);
        for (const PieceSlot& slot : pieces_) {
            if (slot.used && slot.start != 0)
                largest = std::max(largest, slot.length.load());
        }
    }
    uint64_t needed = size_ + largest - std::min(held, size_ + largest);
    uint64_t free = 0;
    if (!ReserveRoom(needed, free)) {
        // One stream needs the file once: it fetches the file when that fits.
        uint64_t streamFree = 0;
        if (ReserveRoom(size_, streamFree)) {
            LogPrint(
                GetLogUtility(), L"Download file: room for one stream only, need:%llu, free:%llu",
                static_cast<unsigned long long>(needed), static_cast<unsigned long long>(free));
        } else {
            RefuseForRoom(size_, streamFree);
        }
        return 0;
    }

    PieceThreadArg arguments[http_pieces::kPieceCount];
    platform::ThreadHandle threads[http_pieces::kPieceCount];
    size_t started = 0;
    for (int i = 0; i < http_pieces::kPieceCount; ++i) {
        arguments[i].command = this;
        arguments[i].index = i;
        platform::ThreadHandle thread = platform::CreateWorkerThread(
            &HttpExecuteThreadProc, &arguments[i], false, platform::kSmallStackBytes);
        if (thread != nullptr)
            threads[started++] = thread;
        LogPrint(GetLogUtility(), L"download thread %d start", i);
    }
    // Only the threads that exist are waited for: a null handle would end the wait at once
    // while the others still write their pieces.
    platform::WaitForAllThreads(threads, started, platform::kWaitInfinite);
    for (size_t i = 0; i < started; ++i)
        platform::CloseThreadHandle(threads[i]);

    std::vector<http_pieces::PieceSpan> spans;
    bool whole = started > 0;
    double received = 0;
    {
        std::lock_guard<std::mutex> lock(piecesLock_);
        for (int i = 0; i < http_pieces::kMaxPieces; ++i) {
            PieceSlot& slot = pieces_[i];
            if (!slot.used)
                continue;
            uint32_t length = slot.length.load();
            spans.push_back(http_pieces::PieceSpan{i, slot.start, length});
            whole = whole && slot.done;
            received += static_cast<double>(std::min<uint64_t>(slot.received.load(), length));
        }
    }
    if (this->IsStopping() || !whole) {
        if (!this->IsStopping())
            LogPrint(GetLogUtility(), L"Download file: pieces not whole, size:%.2f, held:%.2f",
                     totalSize_, received);
        KeepOrDeletePieces();
        return 0;
    }
    std::string partial = http_pieces::PartialName(localPath_);
    int64_t joined = http_pieces::JoinPieces(spans, localPath_, partial);
    platform::DeletePath(ToWidePath(http_pieces::StateName(localPath_)));
    LogPrint(GetLogUtility(), L"Download file total size:%.2f, had download :%.2f", totalSize_,
             static_cast<double>(joined));
    bool joinedWhole = joined == static_cast<int64_t>(size_);
    if (joinedWhole && platform::ReplacePath(ToWidePath(partial), ToWidePath(localPath_)))
        return 1;
    platform::DeletePath(ToWidePath(partial));
    // The whole file was there, but something holds the destination since the download began.
    if (joinedWhole)
        DestinationInUse();
    return 0;
}

uint64_t CHttpMultiDlCommand::PreparePieces() {
    http_pieces::PieceState saved;
    bool resume = http_pieces::StateNameFits(localPath_) &&
                  http_pieces::ReadPieceState(localPath_, saved) && saved.url == url_ &&
                  saved.size == size_ && !saved.validator.empty();
    // A state with more pieces than this destination has names for is not its.
    for (const http_pieces::PieceSpan& span : saved.pieces)
        resume = resume && span.index < maxPieces_;
    if (resume) {
        std::string validator = ProbeValidator();
        resume = validator == saved.validator;
        if (!resume)
            LogPrint(GetLogUtility(), L"Download file: the file changed, pieces discarded");
    }
    std::vector<http_pieces::PieceSpan> spans;
    if (resume) {
        spans = saved.pieces;
    } else {
        // Whatever an earlier download left is not known to be this file.
        http_pieces::DeletePieces(localPath_);
        spans = http_pieces::FirstPieces(size_);
    }
    std::lock_guard<std::mutex> lock(piecesLock_);
    uint64_t held = 0;
    for (const http_pieces::PieceSpan& span : spans) {
        PieceSlot& slot = pieces_[span.index];
        slot.used = true;
        slot.start = span.start;
        slot.length.store(span.length);
        slot.firstRange = !resume;
        // An empty piece (of a file shorter than five bytes) has nothing to fetch.
        slot.done = span.length == 0;
        uint64_t have = 0;
        if (resume) {
            std::string name = http_pieces::PieceName(localPath_, span.index);
            have = http_pieces::FileLengthOf(name);
            // A piece longer than its span is not what this download wrote: it starts again.
            if (have > span.length) {
                EmptyFile(name);
                have = 0;
            }
            slot.done = span.length == 0 || have == span.length;
        }
        slot.received.store(have);
        held += have;
        nextPiece_ = std::max(nextPiece_, span.index + 1);
    }
    if (resume) {
        validator_ = saved.validator;
        validatorKnown_ = true;
        stateKept_ = true;
        LogPrint(GetLogUtility(), L"Download file: resume %d pieces holding %llu bytes",
                 static_cast<int>(spans.size()), static_cast<unsigned long long>(held));
    }
    return held;
}

std::string CHttpMultiDlCommand::ProbeValidator() {
    CURL* curl = curl_easy_init();
    if (curl == nullptr)
        return std::string();
    http_transfer::ValidatorHeaders headers;
    http_transfer::TransferOptions options;
    options.followRedirects = true;
    options.progress = &WatchProgress;
    options.progressData = static_cast<void*>(this);
    std::string validator;
    if (http_transfer::SetUpTransfer(curl, url_, options) == CURLE_OK &&
        curl_easy_setopt(curl, CURLOPT_NOBODY, 1L) == CURLE_OK &&
        curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, &http_transfer::CollectValidatorHeader) ==
            CURLE_OK &&
        curl_easy_setopt(curl, CURLOPT_HEADERDATA, &headers) == CURLE_OK) {
        http_transfer::StartStallWatch(streamWatch_);
        if (http_transfer::PerformTransfer(curl) == CURLE_OK && headers.status >= 200 &&
            headers.status <= 299)
            validator = http_transfer::ValidatorOf(headers);
    }
    curl_easy_cleanup(curl);
    return validator;
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
    http_transfer::PerformTransfer(curl);
    long httpCode = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &httpCode);
    curl_off_t length = -1;
    // The probe follows no redirect, and the length of a redirect or an error page is not
    // the file's: the pieces would then join to that length and pass the check.
    if (httpCode >= 200 && httpCode <= 299 &&
        curl_easy_getinfo(curl, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length) == CURLE_OK &&
        length > 0) {
        size_ = static_cast<uint64_t>(length);
        totalSize_ = static_cast<double>(size_);
    }
    curl_easy_cleanup(curl);
}

void CHttpMultiDlCommand::RunPieceWorker(int worker) {
    int index = -1;
    {
        std::lock_guard<std::mutex> lock(piecesLock_);
        PieceSlot& own = pieces_[worker];
        if (own.used && !own.taken && !own.done) {
            own.taken = true;
            index = worker;
        }
    }
    if (index < 0)
        index = TakeNextPiece();
    while (index >= 0) {
        bool whole = FetchPiece(index);
        {
            std::lock_guard<std::mutex> lock(piecesLock_);
            pieces_[index].done = whole;
            pieces_[index].failed = !whole;
            pieceFailed_ = pieceFailed_ || !whole;
        }
        if (!whole)
            return;
        index = TakeNextPiece();
    }
}

int CHttpMultiDlCommand::TakeNextPiece() {
    std::lock_guard<std::mutex> lock(piecesLock_);
    if (pieceFailed_ || PiecesAbandoned() || this->IsStopping())
        return -1;
    for (int i = 0; i < http_pieces::kMaxPieces; ++i) {
        PieceSlot& slot = pieces_[i];
        if (slot.used && !slot.taken && !slot.done) {
            slot.taken = true;
            return i;
        }
    }
    // A piece that is stalled or between its tries is fetched meanwhile too, so it may be split.
    int largest = -1;
    uint64_t largestRest = 0;
    for (int i = 0; i < http_pieces::kMaxPieces; ++i) {
        PieceSlot& slot = pieces_[i];
        if (!slot.used || !slot.taken || slot.done || slot.failed)
            continue;
        uint64_t length = slot.length.load();
        uint64_t rest = length - std::min<uint64_t>(slot.received.load(), length);
        if (rest > largestRest) {
            largest = i;
            largestRest = rest;
        }
    }
    uint64_t keptLength = 0, helperLength = 0;
    if (largest < 0 || nextPiece_ >= maxPieces_ ||
        !http_pieces::SplitPoint(pieces_[largest].start, pieces_[largest].length.load(),
                                 pieces_[largest].received.load(), keptLength, helperLength))
        return -1;
    PieceSlot& slow = pieces_[largest];
    int index = nextPiece_++;
    PieceSlot& helper = pieces_[index];
    helper.used = true;
    helper.taken = true;
    helper.start = slow.start + keptLength;
    helper.length.store(helperLength);
    helper.received.store(0);
    // The slow piece's transfer ends where its span now ends; bytes it writes beyond meanwhile
    // are the helper's too, and the join leaves them out.
    slow.length.store(keptLength, std::memory_order_release);
    LogPrint(GetLogUtility(), L"split piece %d at %llu for piece %d", largest,
             static_cast<unsigned long long>(helper.start), index);
    // Its file starts empty: nothing an earlier download left under its name is its.
    platform::DeletePath(ToWidePath(http_pieces::PieceName(localPath_, index)));
    WriteStateLocked();
    return index;
}

bool CHttpMultiDlCommand::NoteValidator(const std::string& validator) {
    std::lock_guard<std::mutex> lock(piecesLock_);
    if (validatorKnown_)
        return validator == validator_;
    validatorKnown_ = true;
    validator_ = validator;
    WriteStateLocked();
    return true;
}

void CHttpMultiDlCommand::ResetPieces() {
    std::lock_guard<std::mutex> lock(piecesLock_);
    for (PieceSlot& slot : pieces_) {
        slot.used = false;
        slot.start = 0;
        slot.length.store(0);
        slot.received.store(0);
        slot.taken = false;
        slot.done = false;
        slot.failed = false;
        slot.firstRange = false;
    }
    nextPiece_ = 0;
    validator_.clear();
    validatorKnown_ = false;
    stateKept_ = false;
    pieceFailed_ = false;
    fileChanged_.store(false);
}

void CHttpMultiDlCommand::WriteStateLocked() {
    if (validator_.empty() || !http_pieces::StateNameFits(localPath_))
        return;
    http_pieces::PieceState state;
    state.url = url_;
    state.size = size_;
    state.validator = validator_;
    for (int i = 0; i < http_pieces::kMaxPieces; ++i) {
        if (pieces_[i].used)
            state.pieces.push_back(
                http_pieces::PieceSpan{i, pieces_[i].start, pieces_[i].length.load()});
    }
    stateKept_ = http_pieces::WritePieceState(localPath_, state);
}

void CHttpMultiDlCommand::KeepOrDeletePieces() {
    // Pieces of a file that changed, or of a server that does not serve ranges, are of no use
    // to a later download.
    bool keep = false;
    if (!PiecesAbandoned()) {
        std::lock_guard<std::mutex> lock(piecesLock_);
        keep = stateKept_;
    }
    if (keep)
        SyncKeptPieces();
    else
        http_pieces::DeletePieces(localPath_);
}

void CHttpMultiDlCommand::SyncKeptPieces() {
    std::lock_guard<std::mutex> lock(piecesLock_);
    for (int i = 0; i < http_pieces::kMaxPieces; ++i) {
        if (!pieces_[i].used)
            continue;
        std::FILE* piece = platform::OpenStdioFile(http_pieces::PieceName(localPath_, i), "ab");
        if (piece != nullptr) {
            platform::SyncStdioFile(piece);
            std::fclose(piece);
        }
    }
    WriteStateLocked();
}

bool CHttpMultiDlCommand::FetchPiece(int index) {
    PieceSlot& slot = pieces_[index];
    std::string pieceName = http_pieces::PieceName(localPath_, index);
    for (int attempt = 1; attempt <= 2; ++attempt) {
        if (this->IsStopping() || PiecesAbandoned())
            return false;
        // Each try continues where the file ends.
        std::FILE* file = platform::OpenStdioFile(pieceName, "ab");
        if (file == nullptr)
            continue;
        int64_t held = 0;
        platform::GetStdioFileLength(file, held);
        uint64_t length = slot.length.load();
        auto have = static_cast<uint64_t>(held);
        if (!slot.firstRange && length > 0 && have >= length) {
            std::fclose(file);
            return true;
        }
        std::string range;
        PieceTry pieceTry;
        pieceTry.command = this;
        pieceTry.index = index;
        pieceTry.sink.file = file;
        pieceTry.sink.tasks = this->taskCallback_;
        pieceTry.sink.spanLength = &slot.length;
        pieceTry.sink.base = have;
        pieceTry.sink.published = &slot.received;
        if (slot.firstRange) {
            range = http_pieces::PieceRange(size_, index);
            pieceTry.sink.limit = http_pieces::PieceLength(size_, index);
            pieceTry.firstByte = slot.start;
            pieceTry.lastByte = http_pieces::PieceRangeEnd(size_, index);
        } else {
            pieceTry.firstByte = slot.start + have;
            pieceTry.lastByte = slot.start + length - 1ull;
            range = std::to_string(pieceTry.firstByte) + "-" + std::to_string(pieceTry.lastByte);
            pieceTry.sink.limit = length - have;
        }
        slot.firstRange = false;
        slot.received.store(have);
        slot.stallMark = 0;
        slot.lastCheckTick = platform::GetTickCount32();

        CURL* curl = curl_easy_init();
        CURLcode code = CURLE_FAILED_INIT;
        if (curl != nullptr) {
            http_transfer::TransferOptions options;
            options.followRedirects = true;
            options.write = &WritePieceData;
            options.writeData = static_cast<void*>(&pieceTry);
            options.progress = &PieceProgressProc;
            options.progressData = static_cast<void*>(&pieceTry);
            code = http_transfer::SetUpTransfer(curl, url_, options);
            if (code == CURLE_OK)
                code = curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION,
                                        &http_transfer::CollectValidatorHeader);
            if (code == CURLE_OK)
                code = curl_easy_setopt(curl, CURLOPT_HEADERDATA, &pieceTry.headers);
            if (code == CURLE_OK)
                code = curl_easy_setopt(curl, CURLOPT_RANGE, range.c_str());
            if (code == CURLE_OK)
                code = http_transfer::PerformTransfer(curl);
        }
        // An answer without a body never reached the writer: it is judged here, so that a 200
        // or another validator still ends the pieces.
        if (!pieceTry.headersSeen && pieceTry.headers.status != 0)
            AcceptPieceAnswer(pieceTry);
        std::fclose(file);
        // An answer longer than the range is not this range: its bytes must not join as if they
        // were the piece. What a full disk let through is removed, to give the room back.
        if (pieceTry.sink.overrun || pieceTry.sink.writeFailed) {
            EmptyFile(pieceName);
            slot.received.store(0);
        }
        uint64_t fileSize = http_pieces::FileLengthOf(pieceName);
        LogPrint(GetLogUtility(), L"thread %d download %d try perform, CURLcode:%d, filesize:%d",
                 index, attempt, static_cast<int>(code), static_cast<int>(fileSize));
        length = slot.length.load();
        bool whole = fileSize >= length;
        if (code == CURLE_OK) {
            long httpCode = 0;
            curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &httpCode);
            LogPrint(GetLogUtility(), L"thread %d download %d try perform success, HttpCode=%lu",
                     index, attempt, httpCode);
        }
        if (curl != nullptr)
            curl_easy_cleanup(curl);
        // Whole after an accepted answer, or after a transfer that failed past the span's last
        // byte or ended there after a split.
        if (whole && length > 0 && (pieceTry.accepted || code != CURLE_OK))
            return true;
        if (!this->IsStopping() && !PiecesAbandoned() && attempt < 2)
            platform::SleepMilliseconds(kRetryPauseMs);
    }
    return !PiecesAbandoned() && http_pieces::FileLengthOf(pieceName) >= slot.length.load();
}

size_t CHttpMultiDlCommand::WritePieceData(char* data, size_t size, size_t count, void* pieceTry) {
    auto* current = static_cast<PieceTry*>(pieceTry);
    if (current == nullptr)
        return 0;
    // The first data of an answer: its headers are all there, and decide whether any of its
    // bytes reach the file. A refused answer fails the try before its first byte is written.
    if (!current->headersSeen) {
        current->headersSeen = true;
        current->accepted = current->command->AcceptPieceAnswer(*current);
    }
    if (!current->accepted)
        return 0;
    return http_transfer::WriteFileData(data, size, count, &current->sink);
}

bool CHttpMultiDlCommand::AcceptPieceAnswer(const PieceTry& pieceTry) {
    const http_transfer::ValidatorHeaders& headers = pieceTry.headers;
    int index = pieceTry.index;
    if (headers.status == 200) {
        if (!rangesRefused_.exchange(true))
            LogPrint(GetLogUtility(), L"thread %d: the server sent the whole file for a range",
                     index);
        return false;
    }
    if (headers.status != 206) {
        LogPrint(GetLogUtility(), L"thread %d: answer refused, HttpCode=%ld", index,
                 headers.status);
        return false;
    }
    if (headers.rangeTotal >= 0 && static_cast<uint64_t>(headers.rangeTotal) != size_) {
        // No range of that server fits this file: the pieces end, and the stream's length check
        // judges what the server sends.
        if (!rangesRefused_.exchange(true))
            LogPrint(GetLogUtility(), L"thread %d: the server's file has %lld bytes, not %.0f",
                     index, static_cast<long long>(headers.rangeTotal), totalSize_);
        return false;
    }
    // The end asked for may lie past the file's last byte; the server then ends at that byte.
    uint64_t last = std::min<uint64_t>(pieceTry.lastByte, size_ - 1);
    if (headers.rangeTotal < 0 || headers.rangeFirst != static_cast<int64_t>(pieceTry.firstByte) ||
        headers.rangeLast != static_cast<int64_t>(last)) {
        LogPrint(GetLogUtility(), L"thread %d: the server sent bytes %lld-%lld, not %llu-%llu",
                 index, static_cast<long long>(headers.rangeFirst),
                 static_cast<long long>(headers.rangeLast),
                 static_cast<unsigned long long>(pieceTry.firstByte),
                 static_cast<unsigned long long>(last));
        return false;
    }
    if (!NoteValidator(http_transfer::ValidatorOf(headers))) {
        if (!fileChanged_.exchange(true))
            LogPrint(GetLogUtility(), L"Download file: the file changed, pieces discarded");
        return false;
    }
    return true;
}

int CHttpMultiDlCommand::PieceProgressProc(void* data, double, double nowDown, double, double) {
    auto* current = static_cast<PieceTry*>(data);
    if (current == nullptr || current->command == nullptr)
        return 1;
    CHttpMultiDlCommand* command = current->command;
    if (command->IsStopping() || command->PiecesAbandoned())
        return 1;
    PieceSlot& slot = command->pieces_[current->index];
    if (http_transfer::StallWatchdogExpired(slot.lastCheckTick, slot.stallMark, nowDown,
                                            platform::GetTickCount32()))
        return 1;
    if (command->owner_ != nullptr)
        command->DeliverPieceProgress();
    return 0;
}

void CHttpMultiDlCommand::DeliverPieceProgress() {
    // Each piece counts what its file holds of its span: exact, whoever fetched which bytes.
    double received = 0;
    for (const PieceSlot& slot : pieces_) {
        uint64_t length = slot.length.load(std::memory_order_relaxed);
        received += static_cast<double>(
            std::min<uint64_t>(slot.received.load(std::memory_order_relaxed), length));
    }
    double fraction = std::min(1.0, received / totalSize_);
    std::lock_guard<std::mutex> lock(progressLock_);
    if (fraction <= deliveredFraction_)
        return;
    deliveredFraction_ = fraction;
    DeliverProgress(fraction);
}

int CHttpMultiDlCommand::SingleStreamDownload() {
    uint64_t free = 0;
    if (size_ != 0 && !ReserveRoom(size_, free)) {
        RefuseForRoom(size_, free);
        return 0;
    }
    // The stream writes beside the destination and replaces it only with a good file; a path
    // too long for that name is written in place.
    std::string target = http_pieces::PartialName(localPath_);
    bool beside = !target.empty();
    if (!beside)
        target = localPath_;
    int result = 0;
    for (int attempt = 0; attempt < 2 && result == 0; ++attempt) {
        if (this->IsStopping())
            break;
        LogPrint(GetLogUtility(), L"CHttpDlCommand::the %d try begin.", attempt);
        std::FILE* file = platform::OpenStdioFile(target, "wb");
        if (file == nullptr)
            continue;
        CURL* curl = curl_easy_init();
        http_transfer::FileSink sink{file, this->taskCallback_};
        if (size_ != 0)
            sink.limit = size_;
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
                code = http_transfer::PerformTransfer(curl);
        }
        if (code == CURLE_OK) {
            long httpCode = 0;
            curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &httpCode);
            int64_t fileSize = -1;
            platform::GetStdioFileLength(file, fileSize);
            // The file's data is on the disk before its name is trusted.
            bool synced = platform::SyncStdioFile(file);
            bool closed = std::fclose(file) == 0 && synced;
            curl_easy_cleanup(curl);
            // An error page or a file of another length than the caller expects is not the
            // package, however well it was transferred.
            bool statusGood = httpCode >= 200 && httpCode <= 299;
            // The length the caller expects, or else the one the probe found.
            bool lengthGood = size_ == 0 || fileSize == static_cast<int64_t>(size_);
            if (statusGood && lengthGood && closed) {
                LogPrint(GetLogUtility(), L"CHttpDlCommand::the %d try success. HttpCode=%lu",
                         attempt, httpCode);
                result = 1;
                continue;
            }
            LogPrint(GetLogUtility(),
                     L"CHttpDlCommand::the %d try fail. HttpCode=%lu, filesize:%lld, expected:%llu",
                     attempt, httpCode, static_cast<long long>(fileSize),
                     static_cast<unsigned long long>(size_));
            continue;
        }
        std::fclose(file);
        LogPrint(GetLogUtility(), L"CHttpDlCommand::the %d try fail. err=%d", attempt,
                 static_cast<int>(code));
        if (curl != nullptr)
            curl_easy_cleanup(curl);
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
