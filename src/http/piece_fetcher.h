// One piece's transfer: its tries, each continuing where the piece's bytes in the partial file
// end, the judgement of each answer (only a 206 for exactly the range asked, of this file,
// reaches the file), its writes at the piece's offset, and the worker of a piece thread, which
// takes piece after piece from the board.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "http/http_object.h"
#include "http/piece_board.h"
#include "http/response_headers.h"
#include "platform/file.h"

// What the answers to a download's pieces found: seen by the pieces while they come and by the
// download's course once they end.
struct PieceVerdicts {
    // A ranged request was answered with the whole file, or with a range of a file of another
    // length: no piece can be had from this server.
    std::atomic<bool> rangesRefused{false};
    std::atomic<bool> fileChanged{false};  // a ranged answer gave another validator
    // Ranged answers gave other validators for what was otherwise this file's exact ranges, and
    // the caller has the file's digest: whatever file comes is judged by that digest.
    std::atomic<bool> digestJudges{false};
    // The pieces hold bytes of an earlier download, whose validator the state recorded.
    std::atomic<bool> resumedPieces{false};
    // The file's length as a ranged answer announced it, where that is not the download's; 0
    // when none.
    std::atomic<int64_t> announcedSize{0};

    // Whether the pieces are to end at once: the server ignores ranges, the file changed, or it
    // has another length.
    bool Abandoned() const {
        return rangesRefused.load() || fileChanged.load() || announcedSize.load() != 0;
    }

    // Forgets what ended the pieces of a file that changed, so that fresh pieces can start; a
    // server that ignores ranges, and the digest as the judge, stay so for the download.
    void ForgetFileChange() {
        fileChanged.store(false);
        resumedPieces.store(false);
        announcedSize.store(0);
    }
};

// What the pieces of one segmented download fetch.
struct PieceFacts {
    std::string url;
    uint64_t size = 0;       // the file's length
    bool hasDigest = false;  // the caller has the file's digest
};

// What a piece's transfer asks of the download it serves.
class PieceHost {
  public:
    // A piece's bytes reached the partial file.
    virtual void PieceStored() = 0;
    // A piece's transfer made progress.
    virtual void PieceProgress() = 0;

  protected:
    ~PieceHost() = default;
};

// The pieces' transfers of one segmented download, shared by its piece threads.
class PieceFetcher {
  public:
    // The pause before a piece's second try.
    static constexpr uint32_t kRetryPauseMs = 500;

    // `tasks` tells when the engine stops.
    PieceFetcher(PieceBoard& board, platform::PositionedFile& partial, PieceFacts facts,
                 PieceVerdicts& verdicts, PieceHost& host, const IHttpTaskCallback* tasks);
    PieceFetcher(const PieceFetcher&) = delete;
    PieceFetcher& operator=(const PieceFetcher&) = delete;

    // The work of piece thread `worker`: its own piece, then each piece the board hands it,
    // until there is none left or one of its pieces fails.
    void RunWorker(int worker);

  private:
    // One try of one piece: where its bytes go and what its answer said.
    struct PieceTry {
        PieceFetcher* fetcher = nullptr;
        int index = 0;
        // The bytes on their way to the partial file, written in blocks at the piece's end.
        std::vector<char> buffer;
        size_t buffered = 0;
        // The most bytes the answer may carry, and what it carried so far.
        uint64_t limit = 0;
        uint64_t delivered = 0;
        // The server sent more than the range asked; the partial file could not take the data.
        bool overrun = false;
        bool writeFailed = false;
        http_transfer::ValidatorHeaders headers;
        bool headersSeen = false;
        // The bytes asked for, inclusive; the last may lie past the file's end.
        uint64_t firstByte = 0;
        uint64_t lastByte = 0;
        // The answer was judged to be the range asked: its body may reach the file.
        bool accepted = false;
        // The range text of the request.
        std::string range;
    };

    bool Stopping() const;
    // The next piece for a worker that is free, as the board gives it for `pace`, the worker's
    // own in bytes per second (0 when not known); a split is logged.
    int TakeNextPiece(uint64_t pace);
    // Fetches one piece with up to two tries, each continuing where the piece's bytes in the
    // partial file end. True when the partial file holds its whole span.
    bool FetchPiece(int index);
    // One try of a piece; true when the partial file holds its whole span afterwards.
    bool TryPiece(int index, int attempt);
    // What a try asks for: the piece's first range as PieceRange gives it, or the rest of its
    // span after the `have` bytes the partial file holds.
    void AimPieceTry(PieceTry& pieceTry, uint64_t have);
    // Writes the try's buffer at the end of the piece's bytes in the partial file.
    bool FlushPiece(PieceTry& pieceTry);
    // Whether a piece's answer may write into its file: a 206 for exactly the range asked, of a
    // file of the download's size, that carries the validator of the first such answer. A 200
    // says that the server does not serve ranges, another validator that the file changed
    // meanwhile; both end every piece of the download.
    bool AcceptPieceAnswer(const PieceTry& pieceTry);
    // Whether an exact range whose validator is not the first answer's may reach the file.
    bool AcceptOtherValidator();
    static size_t WritePieceData(char* data, size_t size, size_t count, void* pieceTry);
    static int PieceProgressProc(void* data, double totalDown, double nowDown, double, double);

    PieceBoard& board_;
    platform::PositionedFile& partial_;
    const PieceFacts facts_;
    PieceVerdicts& verdicts_;
    PieceHost& host_;
    const IHttpTaskCallback* tasks_;
};
