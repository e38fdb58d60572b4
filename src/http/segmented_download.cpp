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
#include "http/stall_watch.h"
#include "http/transfer.h"
#include "http/transfer_sinks.h"
#include "platform/clock.h"
#include "platform/file.h"
#include "platform/path.h"

SegmentedResult CHttpMultiDlCommand::SegmentedDownload() {
    // The pieces ask where the probe's redirects ended.
    if (size_ == 0)
        url_ = ProbeSize();
    if (size_ == 0)
        return SegmentedResult::kStream;
    // A path with no partial name beside it, or a file beyond what ranges describe: the single
    // stream fetches the file.
    partialName_ = http_pieces::PartialNameFor(localPath_);
    if (size_ > http_pieces::kMaxSegmentedSize || partialName_.empty())
        return SegmentedResult::kStream;
    bool resumed = false;
    uint64_t held = PreparePieces(resumed);
    if (!ReserveDiskSpaceForPieces(held))
        return SegmentedResult::kStop;
    if (!OpenPartial(resumed)) {
        KeepOrDeletePieces();
        return SegmentedResult::kStream;
    }
    uint64_t allocated = 0;
    if (partial_.GetAllocatedSize(allocated))
        allocatedBytes_.store(allocated);
    ShrinkDiskSpaceToRest();
    bool started = RunPieceWorkers();

    bool whole = started;
    held = 0;
    {
        std::lock_guard<std::mutex> lock(piecesLock_);
        for (const PieceSlot& slot : pieces_) {
            if (!slot.used)
                continue;
            uint64_t length = slot.length.load();
            whole = whole && slot.done;
            held += std::min<uint64_t>(slot.stored.load(), length);
        }
    }
    if (this->IsStopping() || !whole) {
        if (!this->IsStopping())
            LogPrint(GetLogUtility(), L"Download file: pieces not whole, size:%.2f, held:%.2f",
                     totalSize_, static_cast<double>(held));
        KeepOrDeletePieces();
        return this->IsStopping() ? SegmentedResult::kStop : PiecesEnded();
    }
    return CompleteDestination(held);
}

SegmentedResult CHttpMultiDlCommand::PiecesEnded() const {
    if (fileChanged_.load())
        return SegmentedResult::kFileChanged;
    if (announcedSize_.load() > 0)
        return SegmentedResult::kLengthAnnounced;
    return SegmentedResult::kStream;
}

bool CHttpMultiDlCommand::ReserveDiskSpaceForPieces(uint64_t held) {
    // The pieces write in place: the file needs its length less what resumed pieces hold, never
    // more than one stream would, so what does not fit for them fits for nothing.
    uint64_t needed = size_ - std::min(held, size_);
    uint64_t free = 0;
    if (ReserveDiskSpace(needed, free))
        return true;
    RefuseForDiskSpace(needed, free);
    return false;
}

bool CHttpMultiDlCommand::OpenPartial(bool resumed) {
    uint64_t length = 0;
    if (resumed && partial_.Open(partialName_, false) && partial_.GetSize(length) &&
        length == size_)
        return true;
    if (resumed) {
        // The partial file is not the one the state describes: nothing it holds is trusted.
        LogPrint(GetLogUtility(), L"Download file: the partial file is gone, pieces discarded");
        http_pieces::DeletePieces(localPath_);
        std::lock_guard<std::mutex> lock(piecesLock_);
        stateKept_ = false;
        for (PieceSlot& slot : pieces_) {
            slot.received.store(0);
            slot.stored.store(0);
            slot.done = slot.used && slot.length.load() == 0;
        }
    }
    return partial_.Open(partialName_, true) && partial_.Allocate(size_);
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

SegmentedResult CHttpMultiDlCommand::CompleteDestination(uint64_t held) {
    // The file's data is on the disk before its name is trusted, and the state goes before the
    // name changes: a state must never describe the destination's bytes.
    uint64_t length = 0;
    bool synced = partial_.Sync() && partial_.GetSize(length);
    partial_.Close();
    platform::DeletePath(ToWidePath(http_pieces::StateName(localPath_)));
    LogPrint(GetLogUtility(), L"Download file total size:%.2f, had download :%.2f", totalSize_,
             static_cast<double>(held));
    bool whole = synced && held == size_ && length == size_;
    if (whole && digestJudges_.load()) {
        // The pieces came with other validators: only the digest tells whether they are one
        // file. Pieces of two files are of no use; the stream fetches the file whole.
        if (!HasExpectedDigest(partialName_)) {
            LogPrint(GetLogUtility(),
                     L"Download file: the pieces' digest is not the answer's, pieces discarded");
            platform::DeletePath(ToWidePath(partialName_));
            std::lock_guard<std::mutex> lock(piecesLock_);
            stateKept_ = false;
            return SegmentedResult::kStream;
        }
        LogPrint(GetLogUtility(), L"Download file: the pieces' digest is the answer's");
    }
    if (whole && platform::ReplacePath(ToWidePath(partialName_), ToWidePath(localPath_)))
        return SegmentedResult::kWhole;
    platform::DeletePath(ToWidePath(partialName_));
    // The whole file was there, but something holds the destination since the download began.
    if (whole && DestinationInUse())
        return SegmentedResult::kStop;
    return SegmentedResult::kStream;
}

uint64_t CHttpMultiDlCommand::PreparePieces(bool& resumed) {
    http_pieces::PieceState saved;
    bool resume = http_pieces::StateNameFits(localPath_) &&
                  http_pieces::ReadPieceState(localPath_, saved) && saved.url == url_ &&
                  saved.size == size_ && !saved.validator.empty();
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
        uint64_t have = resume ? span.held : 0;
        // An empty piece (of a file shorter than five bytes) has nothing to fetch.
        slot.done = span.length == 0 || have == span.length;
        slot.received.store(have);
        slot.stored.store(have);
        held += have;
        nextPiece_ = std::max(nextPiece_, span.index + 1);
    }
    storedTotal_.store(held);
    checkpointStored_.store(held);
    checkpointTick_.store(platform::GetTickCount32());
    resumed = resume;
    resumedPieces_.store(resume);
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
    if (largest < 0 || nextPiece_ >= http_pieces::kMaxPieces ||
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
    helper.stored.store(0);
    // The slow piece's transfer takes its bytes under this lock, and the split point lies past
    // what it took: it ends where its span now ends, and the two never write the same byte.
    slow.length.store(keptLength, std::memory_order_release);
    LogPrint(GetLogUtility(), L"split piece %d at %llu for piece %d", largest,
             static_cast<unsigned long long>(helper.start), index);
    return index;
}

bool CHttpMultiDlCommand::NoteValidator(const std::string& validator) {
    std::lock_guard<std::mutex> lock(piecesLock_);
    if (validatorKnown_)
        return validator == validator_;
    validatorKnown_ = true;
    validator_ = validator;
    return true;
}

void CHttpMultiDlCommand::ResetPieces() {
    std::lock_guard<std::mutex> lock(piecesLock_);
    for (PieceSlot& slot : pieces_) {
        slot.used = false;
        slot.start = 0;
        slot.length.store(0);
        slot.received.store(0);
        slot.stored.store(0);
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
    resumedPieces_.store(false);
    announcedSize_.store(0);
}

void CHttpMultiDlCommand::Checkpoint() {
    std::lock_guard<std::mutex> checkpoint(checkpointLock_);
    CheckpointLocked();
}

void CHttpMultiDlCommand::CheckpointLocked() {
    if (!partial_.IsOpen() || !http_pieces::StateNameFits(localPath_))
        return;
    // A state trusts its pieces by their validator, which no longer tells one file from
    // another once the answers disagree: such pieces are not kept for a later download.
    if (digestJudges_.load()) {
        platform::DeletePath(ToWidePath(http_pieces::StateName(localPath_)));
        return;
    }
    http_pieces::PieceState state;
    state.url = url_;
    state.size = size_;
    uint64_t stored = storedTotal_.load();
    {
        std::lock_guard<std::mutex> lock(piecesLock_);
        if (validator_.empty())
            return;
        state.validator = validator_;
        for (int i = 0; i < http_pieces::kMaxPieces; ++i) {
            const PieceSlot& slot = pieces_[i];
            if (!slot.used)
                continue;
            uint64_t length = slot.length.load();
            state.pieces.push_back(http_pieces::PieceSpan{
                i, slot.start, length, std::min<uint64_t>(slot.stored.load(), length)});
        }
    }
    // What the counts were taken from goes to the disk before the counts do.
    bool kept = partial_.Sync() && http_pieces::WritePieceState(localPath_, state);
    checkpointTick_.store(platform::GetTickCount32());
    checkpointStored_.store(stored);
    std::lock_guard<std::mutex> lock(piecesLock_);
    stateKept_ = stateKept_ || kept;
}

void CHttpMultiDlCommand::CheckpointWhenDue() {
    uint32_t since = platform::GetTickCount32() - checkpointTick_.load();
    uint64_t written = storedTotal_.load() - checkpointStored_.load();
    if (since < kCheckpointMs && written < kCheckpointBytes)
        return;
    std::unique_lock<std::mutex> busy(checkpointLock_, std::try_to_lock);
    if (busy.owns_lock())
        CheckpointLocked();
}

void CHttpMultiDlCommand::KeepOrDeletePieces() {
    // Pieces of a file that changed, or of a server that does not serve ranges, are of no use
    // to a later download.
    if (!PiecesAbandoned())
        Checkpoint();
    bool keep = false;
    {
        std::lock_guard<std::mutex> lock(piecesLock_);
        keep = stateKept_ && !PiecesAbandoned() && !digestJudges_.load();
        stateKept_ = keep;
    }
    partial_.Close();
    if (!keep) {
        http_pieces::DeletePieces(localPath_);
        platform::DeletePath(ToWidePath(partialName_));
    }
}
