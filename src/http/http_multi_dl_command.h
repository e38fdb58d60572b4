// The download of one file: ranged transfers on five threads of their own, each writing its
// piece at its own offset into one partial file sized to the file at the start, which is checked
// against the expected length and then replaces the destination; when that fails, the whole file
// again in one stream with two tries. Pieces resume what the partial file holds, within a
// download and across downloads of the same file, and a thread whose piece is done takes over
// half of the largest rest of another. Progress and the result go to the owner's
// IHttpDownloadResult.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "http/disk_space.h"
#include "http/download_pieces.h"
#include "http/http_object.h"
#include "http/http_result.h"
#include "http/piece_board.h"
#include "http/piece_fetcher.h"
#include "http/single_stream.h"
#include "platform/file.h"

// The argument of one piece thread; the five live in the segmented download's frame, which waits
// for all piece threads.
struct PieceThreadArg {
    PieceFetcher* fetcher = nullptr;
    int index = -1;
};

// How a segmented download ended, and so what the download does next.
enum class SegmentedResult {
    kWhole,            // the file replaced the destination
    kStream,           // no file from these pieces: the single stream fetches it
    kFileChanged,      // a ranged answer gave another validator: fresh pieces, once
    kLengthAnnounced,  // a ranged answer gave another length: fresh pieces at it, once
    kStop,             // nothing more is fetched: no disk space, destination in use, stopping
};

class CHttpMultiDlCommand : public IHttpCommand<IHttpDownloadResult>,
                            private PieceHost,
                            private StreamHost {
  public:
    // While the pieces come, their state is recorded after this long or this many bytes.
    static constexpr uint32_t kCheckpointMs = 500;
    static constexpr uint64_t kCheckpointBytes = 64ull << 20;

    // `expectedMd5` is the file's digest text as the update answer gives it, or empty;
    // `diskSpace` the engine's ledger of reserved disk space, which outlives the download.
    CHttpMultiDlCommand(std::string url, std::string localPath, int taskId, uint64_t expectedSize,
                        const std::string& expectedMd5, http_disk::DiskSpace* diskSpace);

    // The piece thread procedure; the argument is a PieceThreadArg.
    static unsigned HttpExecuteThreadProc(void* argument);

  private:
    static unsigned DownloadThreadProc(void* argument);
    void Execute();
    SegmentedResult SegmentedDownload();
    // What the end of pieces that are not whole leads to.
    SegmentedResult PiecesEnded() const;
    // Reserves the disk space the pieces need beyond the `held` bytes resumed pieces hold; when it
    // does not fit, nothing is fetched (logged).
    bool ReserveDiskSpaceForPieces(uint64_t held);
    // Starts the five piece threads, each running `fetcher`'s worker, and waits for all of
    // them; false when none could start.
    bool RunPieceWorkers(PieceFetcher& fetcher);
    // Opens the partial file: as it is for resumed pieces (false when it is not the file's
    // length any more), else emptied and sized to the file.
    bool OpenPartial(bool resumed);
    // Forgets what resumed pieces hold and deletes their state: their partial file is not theirs.
    void DiscardResumedPieces();
    // Checks that the pieces hold the whole file and moves the partial file over the
    // destination.
    SegmentedResult CompleteDestination(uint64_t held);
    // Asks the server for the file's length where the caller has none; the pieces then ask
    // where the probe's redirects ended.
    void ProbeSize();
    // Sets up the pieces: those of an earlier download of the same file when its state matches
    // and the server's validator is unchanged, else the five first ones holding nothing.
    // Returns the bytes they already hold; `resumed` tells which.
    uint64_t PreparePieces(bool& resumed);
    // Reserves `needed` more bytes on the destination's volume for this download, in place of
    // what it reserved before: true when they fit beside what other running downloads reserved
    // (or when the volume cannot be asked). `free` receives what was there for it.
    bool ReserveDiskSpace(uint64_t needed, uint64_t& free);
    // Lowers the reservation to what the pieces still have to write into the partial file.
    void ShrinkDiskSpaceToRest();
    // Logs that the download does not fit and that nothing is fetched.
    void RefuseForDiskSpace(uint64_t needed, uint64_t free);
    bool PiecesAbandoned() const { return verdicts_.Abandoned(); }
    // After pieces that a ranged answer of another length ended: the download takes that
    // length.
    void TakeAnnouncedSize();
    // Forgets the pieces of a download whose file changed, so that it can start afresh.
    void ResetPieces();
    // Whether the destination cannot be replaced now; logs it once.
    bool DestinationInUse();
    // Whether the file at `path` has the digest the caller gave.
    bool HasExpectedDigest(const std::string& path) const override;
    // Records what the partial file holds: takes each piece's stored count, puts the partial
    // file on the disk, and only then replaces the state with those counts, so that a state
    // never trusts a byte that a power cut could still take. Nothing without a validator.
    void Checkpoint();
    void CheckpointLocked();  // with the checkpoint lock held
    // A checkpoint when a few seconds or some tens of MiB have passed since the last one; a
    // thread that finds another checkpointing goes on writing.
    void CheckpointWhenDue();
    // After a segmented download that did not end in the file: the pieces stay for a later
    // download when a validator lets their state be recorded, else they go with the partial
    // file.
    void KeepOrDeletePieces();
    // What the pieces ask of the download: the reservation and the checkpoint after their
    // writes, and the progress.
    void PieceStored() override;
    void PieceProgress() override;
    // The whole file in one stream beside the destination, which it then replaces; 1 when it
    // did.
    int SingleStreamDownload();
    void StreamProgress(double fraction) override;
    void DeliverProgress(double fraction);

    std::string url_;
    std::string localPath_;
    std::wstring expectedMd5_;  // the file's digest text; empty when the caller has none
    double totalSize_;          // size_ as the log lines and the progress give it
    int taskId_;
    uint64_t size_ = 0;  // the file's length: as the caller expects it, or probed; 0 unknown
    http_disk::DiskSpace* diskSpace_;
    // The disk space this download holds; given back when the download ends.
    http_disk::DiskReservation reservation_;
    bool inUse_ = false;  // the destination cannot be replaced: no stream

    // The file the pieces write into, at their offsets; open during the segmented download.
    std::string partialName_;
    platform::PositionedFile partial_;
    // One checkpoint at a time; when the last one was and what the pieces had stored then.
    std::mutex checkpointLock_;
    std::atomic<uint32_t> checkpointTick_{0};
    std::atomic<uint64_t> checkpointStored_{0};
    std::atomic<uint64_t> allocatedBytes_{0};  // what the partial file took when it was sized

    PieceBoard board_;
    PieceVerdicts verdicts_;

    std::mutex progressLock_;
    double deliveredFraction_ = 0;  // the segmented download's progress never goes back
};
