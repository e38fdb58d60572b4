// The download of one file: five ranged transfers on threads of their own into piece files,
// joined and checked against the expected length; when that fails, the whole file again in one
// stream with two tries. Progress and the result go to the owner's IHttpDownloadResult.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "http/download_pieces.h"
#include "http/http_object.h"
#include "http/http_result.h"
#include "http/transfer_callbacks.h"

// The state of one piece during its current try.
struct PieceProgress {
    int32_t index = 0;
    uint32_t lastCheckTick = 0;
    // Written by its piece thread and summed by all five for the progress fraction, so it is
    // atomic: no reader ever sees a half-written value.
    std::atomic<double> received{0.0};
    double stallMark = 0;
};

class CHttpMultiDlCommand;

// The argument of one piece thread; the five live in the segmented download's frame, which waits
// for all piece threads.
struct PieceThreadArg {
    CHttpMultiDlCommand* command = nullptr;
    int index = -1;
};

class CHttpMultiDlCommand : public IHttpCommand<IHttpDownloadResult> {
  public:
    // The pause before a piece's second try.
    static constexpr uint32_t kRetryPauseMs = 500;

    CHttpMultiDlCommand(std::string url, std::string localPath, int taskId, uint32_t expectedSize);

    // The piece thread procedure; the argument is a PieceThreadArg.
    static unsigned HttpExecuteThreadProc(void* argument);

  private:
    static unsigned DownloadThreadProc(void* argument);
    void Execute();
    int SegmentedDownload();
    // Asks the server for the file's length with a HEAD request.
    void ProbeSize();
    void DownloadPiece(PieceThreadArg* argument);
    static int PieceProgressProc(void* data, double totalDown, double nowDown, double, double);
    int SingleStreamDownload();
    static int StreamProgressProc(void* data, double totalDown, double nowDown, double, double);
    // The size probe's progress function: only the shutdown and the stall watchdog.
    static int WatchProgress(void* data, double, double nowDown, double, double);
    void DeliverProgress(double fraction);

    std::string url_;
    std::string localPath_;
    double totalSize_;
    int taskId_;
    PieceProgress pieces_[http_pieces::kPieceCount];
    uint32_t expectedSize_;                  // as the caller gave it; 0 when it had none
    http_transfer::StallWatch streamWatch_;  // the probe's and the single stream's watchdog
};
