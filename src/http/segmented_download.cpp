// The segmented download: the pieces of the file set up afresh or resumed from their state, the
// piece threads as workers that take the next piece or split the largest rest of another, and
// the join of the pieces into the partial file that replaces the destination.
#include "http/http_multi_dl_command.h"

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "common/text.h"
#include "diagnostics/log.h"
#include "http/curl_api.h"
#include "http/download_pieces.h"
#include "http/transfer_callbacks.h"
#include "platform/clock.h"
#include "platform/file.h"
#include "platform/path.h"

int CHttpMultiDlCommand::SegmentedDownload() {
    // The pieces ask where the probe's redirects ended.
    if (size_ == 0)
        url_ = ProbeSize();
    if (size_ == 0)
        return 0;
    // Piece names that would not be whole paths: the single stream fetches the file.
    if (size_ > http_pieces::kMaxSegmentedSize || maxPieces_ < http_pieces::kPieceCount)
        return 0;
    if (!ReserveRoomForPieces(PreparePieces()))
        return 0;
    bool started = RunPieceWorkers();

    std::vector<http_pieces::PieceSpan> spans;
    bool whole = started;
    double received = 0;
    {
        std::lock_guard<std::mutex> lock(piecesLock_);
        for (int i = 0; i < http_pieces::kMaxPieces; ++i) {
            PieceSlot& slot = pieces_[i];
            if (!slot.used)
                continue;
            uint64_t length = slot.length.load();
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
    return JoinIntoDestination(spans);
}

bool CHttpMultiDlCommand::ReserveRoomForPieces(uint64_t held) {
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
    if (ReserveRoom(needed, free))
        return true;
    // One stream needs the file once: it fetches the file when that fits.
    uint64_t streamFree = 0;
    if (ReserveRoom(size_, streamFree)) {
        LogPrint(GetLogUtility(), L"Download file: room for one stream only, need:%llu, free:%llu",
                 static_cast<unsigned long long>(needed), static_cast<unsigned long long>(free));
    } else {
        RefuseForRoom(size_, streamFree);
    }
    return false;
}

bool CHttpMultiDlCommand::RunPieceWorkers() {
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
    return started > 0;
}

int CHttpMultiDlCommand::JoinIntoDestination(const std::vector<http_pieces::PieceSpan>& spans) {
    std::string partial = http_pieces::PartialNameFor(localPath_);
    int64_t joined = http_pieces::JoinPieces(spans, localPath_, partial);
    platform::DeletePath(ToWidePath(http_pieces::StateName(localPath_)));
    LogPrint(GetLogUtility(), L"Download file total size:%.2f, had download :%.2f", totalSize_,
             static_cast<double>(joined));
    bool whole = joined == static_cast<int64_t>(size_);
    if (whole && platform::ReplacePath(ToWidePath(partial), ToWidePath(localPath_)))
        return 1;
    platform::DeletePath(ToWidePath(partial));
    // The whole file was there, but something holds the destination since the download began.
    if (whole)
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
                http_pieces::EmptyFile(name);
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
    http_transfer::ValidatorHeaders headers;
    http_transfer::TransferOptions options;
    options.followRedirects = true;
    options.progress = &WatchProgress;
    options.progressData = static_cast<void*>(this);
    options.headers = &headers;
    options.headersOnly = true;
    http_transfer::StartStallWatch(streamWatch_);
    http_transfer::Transfer probe;
    if (probe.Run(url_, options) == CURLE_OK && headers.status >= 200 && headers.status <= 299)
        return http_transfer::ValidatorOf(headers);
    return std::string();
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
        if (!slot.used || !slot.taken || slot.done)
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
