// The piece board of a segmented download: the pieces' spans in the partial file, who fetches
// which, what each has taken and stored, and the rules by which a free worker takes the next
// piece or splits the largest rest of another. No transfer, thread or file: only the rules.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "http/download_pieces.h"
#include "http/stall_watch.h"

// One piece of the file: a span of the partial file.
struct PieceSlot {
    bool used = false;
    uint64_t start = 0;
    // The bytes of the file it stands for; a split moves its end back, under the board's lock,
    // while it is fetched.
    std::atomic<uint64_t> length{0};
    // The bytes of its span its transfer has taken from the server, in the partial file or in
    // the try's buffer; grown under the board's lock, so that a split never hands a helper a
    // byte already taken. Summed by all for the progress.
    std::atomic<uint64_t> received{0};
    // The bytes from its start written into the partial file (not yet known to be on the disk
    // before the file's next sync); written only by the thread that fetches it.
    std::atomic<uint64_t> stored{0};
    // Under the board's lock: a thread fetches it; it is whole. (A piece whose tries failed ends
    // the download's pieces: the board's pieceFailed_.)
    bool taken = false;
    bool done = false;
    // Its next request asks for its first range as PieceRange gives it (the five first pieces
    // of a new download) rather than for the rest of its span.
    bool firstRange = false;
    // Under the board's lock: the tick its current try started at and what the piece had taken
    // then, for its pace; `timed` once a try started with a tick.
    bool timed = false;
    uint32_t tryStartMs = 0;
    uint64_t tryStartReceived = 0;
    // The stall watch of its current try, used by its own thread only.
    http_transfer::StallWatch stallWatch;
};

// A split the board made: piece `from` now ends at `at`, where piece `to` starts.
struct PieceSplit {
    int from = -1;
    int to = -1;
    uint64_t at = 0;
};

// What the pieces hold of the file, and whether every one of them is whole.
struct PiecesHeld {
    uint64_t bytes = 0;
    bool whole = true;
};

class PieceBoard {
  public:
    PieceBoard() = default;
    PieceBoard(const PieceBoard&) = delete;
    PieceBoard& operator=(const PieceBoard&) = delete;

    // Lays out the five first pieces of a file of `size` bytes, holding nothing, each asking
    // for its first range.
    void LayFresh(uint64_t size);
    // Lays out the pieces of an earlier download as its state recorded them, with the bytes
    // they hold and its validator; returns what they hold.
    uint64_t LayResumed(const http_pieces::PieceState& saved);

    // Forgets what resumed pieces hold (the partial file is not the one their state
    // describes): they keep their spans and hold nothing, and no state describes them.
    void ForgetHeld();

    // Worker `worker`'s own piece when nobody fetches it and it is not whole; -1 otherwise.
    int TakeOwn(int worker);
    // The next piece for a worker that is free: one nobody fetches yet, else a part of the
    // largest rest of a piece being fetched, as SplitPoint gives it for the paces at tick
    // `nowMs` of that piece, of the others being fetched and of `helperPace`, the worker's own
    // in bytes per second (0 when not known: no pace counts then); `split` then tells which. -1
    // when there is none worth it, a piece failed, or `stop` says the pieces end.
    int TakeNext(bool stop, PieceSplit& split, uint32_t nowMs = 0, uint64_t helperPace = 0);

    // Takes what of `bytes` more the piece's span can still take.
    uint64_t TakeBytes(int index, uint64_t bytes);
    // The start of a try at tick `nowMs`: what an earlier try had taken but not stored is taken
    // again. Returns what the piece holds.
    uint64_t StartTry(int index, uint32_t nowMs);
    // The piece's bytes reached the partial file after what it stored.
    void AddStored(int index, uint64_t bytes);
    // An answer that was not the piece's range: none of its bytes counts as the piece's.
    void DropStored(int index);
    // A piece's tries ended at tick `nowMs`: whole, or failed, which ends every later take.
    // Returns the pace of its last try in bytes per second, 0 when not known.
    uint64_t EndPiece(int index, bool whole, uint32_t nowMs = 0);

    // Records the validator of the first ranged answer; false when an earlier answer, or the
    // resumed state, gave another one.
    bool NoteValidator(const std::string& validator);

    // Whether a state file describes the pieces; a state written whole (`kept`) adds to it.
    bool StateKept() const;
    void NoteStateKept(bool kept);
    // Keeps the word that a state describes the pieces only where `allowed`; returns it.
    bool KeepStateIf(bool allowed);

    // What all pieces took, for the progress: exact, whoever fetched which bytes.
    uint64_t ReceivedTotal() const;
    // What all pieces wrote into the partial file.
    uint64_t StoredTotal() const { return storedTotal_.load(); }
    PiecesHeld Held() const;
    // The spans and what the partial file holds of each, with the validator, for a state; false
    // when there is no validator to record.
    bool Snapshot(std::string& validator, std::vector<http_pieces::PieceSpan>& spans) const;

    // Forgets every piece, the validator and the failure, so that fresh pieces can start.
    void Reset();

    // The piece as the thread that fetches it reads it.
    PieceSlot& Slot(int index) { return pieces_[index]; }

  private:
    void Lay(const std::vector<http_pieces::PieceSpan>& spans, bool resumed);
    // With the lock held: the piece of the largest rest being fetched, -1 when none.
    int LargestRest() const;
    // With the lock held: the bytes per second piece `index` took in its try until `nowMs`; 0
    // when its try is too young to tell (`atLeastMs`), and 1 for a piece that took nothing.
    uint64_t PaceOf(int index, uint32_t nowMs, uint32_t atLeastMs) const;

    mutable std::mutex lock_;
    PieceSlot pieces_[http_pieces::kMaxPieces];
    int nextPiece_ = 0;            // the number the next split gives its piece
    std::string validator_;        // of the file the pieces hold; empty when it has none
    bool validatorKnown_ = false;  // a ranged answer, or the resumed state, gave validator_
    bool stateKept_ = false;       // a state file describes the pieces
    bool pieceFailed_ = false;
    std::atomic<uint64_t> storedTotal_{0};
};
