// The segmented download: the pieces laid out afresh or resumed from their state, the partial
// file they write into, the five piece threads, the checkpoints of the state, and the check of
// the whole file before the partial file replaces the destination.
#include "http/http_multi_dl_command.h"

#include <algorithm>
#include <string>

#include "common/text.h"
#include "diagnostics/log.h"
#include "http/download_pieces.h"
#include "http/piece_fetcher.h"
#include "http/single_stream.h"
#include "platform/clock.h"
#include "platform/file.h"
#include "platform/path.h"
#include "platform/thread.h"

SegmentedResult CHttpMultiDlCommand::SegmentedDownload() {
    if (size_ == 0)
        ProbeSize();
    if (size_ == 0)
        return SegmentedResult::kStream;
    // A path with no partial name beside it, or a file beyond what ranges describe: the single
    // stream fetches the file.
    partialName_ = http_pieces::PartialNameFor(localPath_);
    if (size_ > http_pieces::kMaxSegmentedSize || partialName_.empty())
        return SegmentedResult::kStream;
    bool resumed = false;
    uint64_t held = PreparePieces(resumed);
    // What resumed pieces hold counts only while the partial file is the one their state
    // describes: else the whole file is to be written, and needs the disk space for it.
    if (resumed && http_pieces::FileLengthOf(partialName_) != size_) {
        DiscardResumedPieces();
        held = 0;
        resumed = false;
    }
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
    PieceFetcher fetcher(board_, partial_, PieceFacts{url_, size_, !expectedMd5_.empty()},
                         verdicts_, *this, this->taskCallback_);
    bool started = RunPieceWorkers(fetcher);

    PiecesHeld pieces = board_.Held();
    bool whole = started && pieces.whole;
    if (this->IsStopping() || !whole) {
        if (!this->IsStopping())
            LogPrint(GetLogUtility(), L"Download file: pieces not whole, size:%.2f, held:%.2f",
                     totalSize_, static_cast<double>(pieces.bytes));
        KeepOrDeletePieces();
        return this->IsStopping() ? SegmentedResult::kStop : PiecesEnded();
    }
    return CompleteDestination(pieces.bytes);
}

SegmentedResult CHttpMultiDlCommand::PiecesEnded() const {
    if (verdicts_.fileChanged.load())
        return SegmentedResult::kFileChanged;
    if (verdicts_.announcedSize.load() > 0)
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
    if (resumed)
        DiscardResumedPieces();
    return partial_.Open(partialName_, true) && partial_.Allocate(size_);
}

void CHttpMultiDlCommand::DiscardResumedPieces() {
    // The partial file is not the one the state describes: nothing it holds is trusted.
    LogPrint(GetLogUtility(), L"Download file: the partial file is gone, pieces discarded");
    http_pieces::DeletePieces(localPath_);
    board_.ForgetHeld();
}

bool CHttpMultiDlCommand::RunPieceWorkers(PieceFetcher& fetcher) {
    PieceThreadArg arguments[http_pieces::kPieceCount];
    platform::ThreadHandle threads[http_pieces::kPieceCount];
    size_t started = 0;
    for (int i = 0; i < http_pieces::kPieceCount; ++i) {
        arguments[i].fetcher = &fetcher;
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
    if (whole && verdicts_.digestJudges.load()) {
        // The pieces came with other validators: only the digest tells whether they are one
        // file. Pieces of two files are of no use; the stream fetches the file whole.
        if (!HasExpectedDigest(partialName_)) {
            LogPrint(GetLogUtility(),
                     L"Download file: the pieces' digest is not the answer's, pieces discarded");
            platform::DeletePath(ToWidePath(partialName_));
            board_.KeepStateIf(false);
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
        std::string validator = SingleStream(*this, this->taskCallback_, url_).ProbeValidator();
        resume = validator == saved.validator;
        if (!resume)
            LogPrint(GetLogUtility(), L"Download file: the file changed, pieces discarded");
    }
    uint64_t held = 0;
    if (resume) {
        held = board_.LayResumed(saved);
    } else {
        // Whatever an earlier download left is not known to be this file.
        http_pieces::DeletePieces(localPath_);
        board_.LayFresh(size_);
    }
    checkpointStored_.store(held);
    checkpointTick_.store(platform::GetTickCount32());
    resumed = resume;
    verdicts_.resumedPieces.store(resume);
    if (resume)
        LogPrint(GetLogUtility(), L"Download file: resume %d pieces holding %llu bytes",
                 static_cast<int>(saved.pieces.size()), static_cast<unsigned long long>(held));
    return held;
}

void CHttpMultiDlCommand::ResetPieces() {
    board_.Reset();
    verdicts_.ForgetFileChange();
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
    if (verdicts_.digestJudges.load()) {
        platform::DeletePath(ToWidePath(http_pieces::StateName(localPath_)));
        return;
    }
    http_pieces::PieceState state;
    state.url = url_;
    state.size = size_;
    uint64_t stored = board_.StoredTotal();
    if (!board_.Snapshot(state.validator, state.pieces))
        return;
    // What the counts were taken from goes to the disk before the counts do.
    bool kept = partial_.Sync() && http_pieces::WritePieceState(localPath_, state);
    checkpointTick_.store(platform::GetTickCount32());
    checkpointStored_.store(stored);
    board_.NoteStateKept(kept);
}

void CHttpMultiDlCommand::CheckpointWhenDue() {
    uint32_t since = platform::GetTickCount32() - checkpointTick_.load();
    uint64_t written = board_.StoredTotal() - checkpointStored_.load();
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
    bool keep = board_.KeepStateIf(!PiecesAbandoned() && !verdicts_.digestJudges.load());
    partial_.Close();
    if (!keep) {
        http_pieces::DeletePieces(localPath_);
        platform::DeletePath(ToWidePath(partialName_));
    }
}

void CHttpMultiDlCommand::PieceStored() {
    ShrinkDiskSpaceToRest();
    CheckpointWhenDue();
}

void CHttpMultiDlCommand::PieceProgress() {
    if (this->owner_ == nullptr)
        return;
    // Each piece counts what its file holds of its span: exact, whoever fetched which bytes.
    double received = static_cast<double>(board_.ReceivedTotal());
    double fraction = std::min(1.0, received / totalSize_);
    std::lock_guard<std::mutex> lock(progressLock_);
    if (fraction <= deliveredFraction_)
        return;
    deliveredFraction_ = fraction;
    DeliverProgress(fraction);
}
