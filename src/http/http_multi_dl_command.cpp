// The download of one file, its course from start to result: its turn among the downloads, the
// destination in use, the disk space it needs, the segmented download and then, when that fails,
// the single stream. The segmented download is in segmented_download.cpp, its pieces on the
// board of piece_board.cpp and their transfers in piece_fetcher.cpp, the stream and the probes
// in single_stream.cpp.
#include "http/http_multi_dl_command.h"

#include <algorithm>
#include <utility>

#include "common/file_digest.h"
#include "common/program_folder.h"
#include "common/text.h"
#include "diagnostics/log.h"
#include "http/disk_space.h"
#include "http/download_pieces.h"
#include "http/download_slots.h"
#include "http/single_stream.h"
#include "platform/path.h"
#include "platform/thread.h"

CHttpMultiDlCommand::CHttpMultiDlCommand(std::string url, std::string localPath, int taskId,
                                         uint64_t expectedSize, const std::string& expectedMd5,
                                         http_disk::DiskSpace* diskSpace)
    : url_(std::move(url)),
      localPath_(std::move(localPath)),
      expectedMd5_(ToWide(expectedMd5)),
      totalSize_(static_cast<double>(expectedSize)),
      taskId_(taskId),
      size_(expectedSize),
      diskSpace_(diskSpace),
      reservation_(*diskSpace) {
    this->thread_ =
        platform::CreateWorkerThread(&DownloadThreadProc, this, true, platform::kSmallStackBytes);
}

// The piece thread procedure; the argument is a PieceThreadArg.
unsigned CHttpMultiDlCommand::HttpExecuteThreadProc(void* argument) {
    LogPrint(GetLogUtility(), L"HttpExecuteThreadProc");
    auto* piece = static_cast<PieceThreadArg*>(argument);
    if (piece == nullptr || piece->fetcher == nullptr || piece->index < 0 ||
        piece->index >= http_pieces::kPieceCount)
        return 1;
    piece->fetcher->RunWorker(piece->index);
    return 0;
}

unsigned CHttpMultiDlCommand::DownloadThreadProc(void* argument) {
    auto* command = static_cast<CHttpMultiDlCommand*>(argument);
    if (!command->IsDiscarded())
        command->Execute();
    return command->FinishTask();
}

void CHttpMultiDlCommand::Execute() {
    // Only a few downloads transfer at once; this one waits for a download slot.
    http_slots::DownloadSlot slot(this->taskCallback_);
    if (!slot.Held())
        return;  // the engine stops: nobody is told anything any more
    // Failures are not reported here: the transfers then fail to open their files.
    CreateParentFolder(ToWidePath(localPath_));
    // A destination that cannot be replaced would only be fetched in vain.
    SegmentedResult pieces = SegmentedResult::kStop;
    if (!this->IsStopping() && !DestinationInUse()) {
        pieces = SegmentedDownload();
        // The file changed on the server while its pieces came, or the server announced
        // another length than the answer's: once more with fresh pieces.
        if (pieces == SegmentedResult::kLengthAnnounced)
            TakeAnnouncedSize();
        if (pieces == SegmentedResult::kFileChanged ||
            pieces == SegmentedResult::kLengthAnnounced) {
            pieces = SegmentedResult::kStream;
            if (!this->IsStopping()) {
                ResetPieces();
                pieces = SegmentedDownload();
            }
        }
    }
    int result = pieces == SegmentedResult::kWhole ? 1 : 0;
    if (pieces != SegmentedResult::kWhole && pieces != SegmentedResult::kStop &&
        !this->IsStopping())
        result = SingleStreamDownload();
    // Whatever way the file came, pieces of it are of no more use.
    if (result == 1)
        http_pieces::DeletePieces(localPath_);
    reservation_.Release();
    if (this->owner_ != nullptr && !this->IsStopping()) {
        this->owner_->OnDownloadResult(taskId_, result, localPath_.c_str());
    }
}

void CHttpMultiDlCommand::TakeAnnouncedSize() {
    int64_t announced = verdicts_.announcedSize.load();
    if (announced <= 0)
        return;
    LogPrint(GetLogUtility(), L"Download file: the server announces %lld bytes, the answer %.0f",
             static_cast<long long>(announced), totalSize_);
    size_ = static_cast<uint64_t>(announced);
    totalSize_ = static_cast<double>(size_);
}

bool CHttpMultiDlCommand::DestinationInUse() {
    if (!inUse_ && platform::IsFileInUse(ToWidePath(localPath_))) {
        LogPrint(GetLogUtility(), L"Download file: the destination is in use:[%s]",
                 ToWidePath(localPath_).c_str());
        inUse_ = true;
    }
    return inUse_;
}

bool CHttpMultiDlCommand::HasExpectedDigest(const std::string& path) const {
    std::wstring digest;
    uint64_t size = 0;
    return ComputeFileMd5(ToWidePath(path), digest, size) &&
           IsSameMd5Text(digest.c_str(), expectedMd5_.c_str());
}

bool CHttpMultiDlCommand::ReserveDiskSpace(uint64_t needed, uint64_t& free) {
    // A volume that cannot be asked is not refused: the writes then tell.
    if (!diskSpace_->FreeBytesFor(localPath_, free))
        return true;
    return reservation_.Reserve(needed, free);
}

void CHttpMultiDlCommand::ShrinkDiskSpaceToRest() {
    // What the volume already shows taken (the allocated partial file, or what was written of a
    // sparse one) is no longer this download's to reserve.
    reservation_.ShrinkTo(
        http_disk::RestToWrite(size_, std::max(board_.StoredTotal(), allocatedBytes_.load())));
}

void CHttpMultiDlCommand::RefuseForDiskSpace(uint64_t needed, uint64_t free) {
    LogPrint(GetLogUtility(), L"Download file: not enough free space, need:%llu, free:%llu",
             static_cast<unsigned long long>(needed), static_cast<unsigned long long>(free));
}

void CHttpMultiDlCommand::ProbeSize() {
    std::string final = url_;
    uint64_t probed = SingleStream(*this, this->taskCallback_, url_).ProbeSize(final);
    if (probed == 0)
        return;
    size_ = probed;
    totalSize_ = static_cast<double>(size_);
    url_ = final;
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
    SingleStream stream(*this, this->taskCallback_, url_);
    int result = stream.Fetch(size_, verdicts_.digestJudges.load(), target) ? 1 : 0;
    if (!beside)
        return result;
    if (result == 1 && platform::ReplacePath(ToWidePath(target), ToWidePath(localPath_)))
        return 1;
    platform::DeletePath(ToWidePath(target));
    if (result == 1)
        DestinationInUse();
    return 0;
}

void CHttpMultiDlCommand::StreamProgress(double fraction) {
    if (this->owner_ != nullptr)
        DeliverProgress(fraction);
}

void CHttpMultiDlCommand::DeliverProgress(double fraction) {
    if (!this->IsStopping())
        this->owner_->OnDownloadProgress(taskId_, fraction);
}
