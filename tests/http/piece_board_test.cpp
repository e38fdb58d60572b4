// The rules of the pieces without a server: their layout, the takes and splits, and what they
// hold, fed as the transfers of the pieces would feed them.
#include "http/piece_board.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

namespace {

constexpr uint64_t kSize = 40000000;  // five pieces of 8 MB, each worth splitting twice

// A positioned write of the partial file: its offset and length.
using Write = std::pair<uint64_t, uint64_t>;

// Feeds `bytes` to a piece in blocks as its transfer would: each block is taken first and only
// what was taken is written, at the end of the piece's stored bytes. Returns what was taken.
uint64_t Feed(PieceBoard& board, int index, uint64_t bytes, std::vector<Write>& writes,
              uint64_t block = 65536) {
    uint64_t taken = 0;
    while (taken < bytes) {
        uint64_t keep = board.TakeBytes(index, std::min(block, bytes - taken));
        if (keep == 0)
            break;  // the span's end: the transfer ends there
        PieceSlot& slot = board.Slot(index);
        writes.emplace_back(slot.start + slot.stored.load(), keep);
        board.AddStored(index, keep);
        taken += keep;
    }
    return taken;
}

// Whether the writes cover [0, size) exactly once.
bool CoverOnce(std::vector<Write> writes, uint64_t size) {
    std::sort(writes.begin(), writes.end());
    uint64_t next = 0;
    for (const Write& write : writes) {
        if (write.first != next)
            return false;
        next += write.second;
    }
    return next == size;
}

// Whether the board has what a state records: a validator, and its spans.
bool Records(const PieceBoard& board) {
    std::string validator;
    std::vector<http_pieces::PieceSpan> spans;
    return board.Snapshot(validator, spans);
}

// A fresh board whose five first pieces the five workers have taken.
void TakeFirstFive(PieceBoard& board) {
    board.LayFresh(kSize);
    for (int worker = 0; worker < http_pieces::kPieceCount; ++worker)
        ASSERT_EQ(board.TakeOwn(worker), worker);
}

TEST(PieceBoard, AFreshLayoutHoldsNothingAndEachWorkerTakesItsOwnPieceOnce) {
    PieceBoard board;
    board.LayFresh(kSize);
    PiecesHeld held = board.Held();
    EXPECT_EQ(held.bytes, 0u);
    EXPECT_FALSE(held.whole);
    EXPECT_TRUE(board.Slot(4).firstRange);
    EXPECT_EQ(board.Slot(4).length.load(), http_pieces::PieceLength(kSize, 4));
    EXPECT_EQ(board.TakeOwn(2), 2);
    EXPECT_EQ(board.TakeOwn(2), -1);
    PieceSplit split;
    EXPECT_EQ(board.TakeNext(false, split), 0);  // the first piece nobody fetches
    EXPECT_EQ(split.to, -1);
}

TEST(PieceBoard, PiecesOfAFileShorterThanFiveBytesThatHoldNoByteAreWholeFromTheStart) {
    PieceBoard board;
    board.LayFresh(3);
    EXPECT_EQ(board.TakeOwn(1), -1);
    EXPECT_EQ(board.TakeOwn(0), 0);
    EXPECT_EQ(board.TakeOwn(4), 4);
}

TEST(PieceBoard, PositionedWritesOfTwoPiecesNeverOverlapOrLeaveAGap) {
    PieceBoard board;
    TakeFirstFive(board);
    std::vector<Write> writes;
    for (int i = 1; i < 5; ++i) {
        Feed(board, i, kSize, writes);
        board.EndPiece(i, true);
    }
    Feed(board, 0, 100000, writes);
    PieceSplit split;
    int helper = board.TakeNext(false, split);
    ASSERT_EQ(helper, 5);
    EXPECT_EQ(split.from, 0);
    EXPECT_EQ(split.at, board.Slot(helper).start);
    // The slow piece's transfer goes on past the split point; it keeps only what is its own.
    EXPECT_EQ(Feed(board, 0, kSize, writes), split.at - 100000);
    // A second worker splits the helper's rest while it comes.
    Feed(board, helper, 300000, writes);
    PieceSplit second;
    int third = board.TakeNext(false, second);
    ASSERT_EQ(third, 6);
    EXPECT_EQ(second.from, helper);
    Feed(board, third, kSize, writes, 100000);
    Feed(board, helper, kSize, writes, 77777);
    for (int i : {0, helper, third})
        board.EndPiece(i, true);
    EXPECT_TRUE(CoverOnce(writes, kSize));
    PiecesHeld held = board.Held();
    EXPECT_EQ(held.bytes, kSize);
    EXPECT_TRUE(held.whole);
    EXPECT_EQ(board.StoredTotal(), kSize);
    EXPECT_EQ(board.ReceivedTotal(), kSize);
}

TEST(PieceBoard, ASplitNeverHandsOutAByteAlreadyTaken) {
    PieceBoard board;
    TakeFirstFive(board);
    std::vector<Write> writes;
    // The last is the most a piece may have taken and still be split.
    uint64_t lastSplit = http_pieces::PieceLength(kSize, 2) - http_pieces::kMinSplitBytes - 1;
    for (uint64_t taken : {uint64_t{0}, uint64_t{500001}, lastSplit}) {
        SCOPED_TRACE(taken);
        PieceBoard each;
        TakeFirstFive(each);
        for (int i : {0, 1, 3, 4})
            each.EndPiece(i, true);
        Feed(each, 2, taken, writes, 4093);
        PieceSplit split;
        int helper = each.TakeNext(false, split);
        ASSERT_GE(helper, 0);
        EXPECT_GE(split.at, each.Slot(2).start + each.Slot(2).received.load());
        EXPECT_EQ(each.Slot(2).start + each.Slot(2).length.load(), split.at);
    }
    // Less than the minimum to come: nothing worth splitting.
    Feed(board, 0, http_pieces::PieceLength(kSize, 0) - http_pieces::kMinSplitBytes, writes);
    for (int i = 1; i < 5; ++i)
        board.EndPiece(i, true);
    PieceSplit split;
    EXPECT_EQ(board.TakeNext(false, split), -1);
}

TEST(PieceBoard, ASlowPieceIsSplitBelowTheMinimumOnlyOnceItsPaceIsKnown) {
    constexpr uint64_t kLeft = 512 * 1024;
    // Ticks about to wrap around: the pace is taken from their difference.
    constexpr uint32_t kStart = 0xffffff00u;
    PieceBoard board;
    TakeFirstFive(board);
    std::vector<Write> writes;
    for (int i = 0; i < 5; ++i)
        board.StartTry(i, kStart);
    for (int i = 1; i < 5; ++i) {
        Feed(board, i, kSize, writes);
        board.EndPiece(i, true, kStart + 2000);
    }
    uint64_t slow = http_pieces::PieceLength(kSize, 0) - kLeft;
    Feed(board, 0, slow, writes);
    PieceSplit split;
    // About 7.5 MB in 75 s: 100 KB/s. Too young a try, or a helper of unknown pace,
    // splits nothing yet.
    EXPECT_EQ(board.TakeNext(false, split, kStart + 200, 4000000), -1);
    EXPECT_EQ(board.TakeNext(false, split, kStart + 75000, 0), -1);
    int helper = board.TakeNext(false, split, kStart + 75000, 4000000);
    ASSERT_EQ(helper, 5);
    EXPECT_EQ(split.from, 0);
    // The helper at 4 MB/s takes about 40 / 41 of the rest, all but the sixteenth kept at least.
    EXPECT_EQ(board.Slot(0).length.load(), slow + kLeft / 16);
    EXPECT_EQ(Feed(board, 0, kSize, writes), kLeft / 16);
    EXPECT_EQ(Feed(board, helper, kSize, writes), kLeft - kLeft / 16);
    EXPECT_TRUE(CoverOnce(writes, kSize));
}

TEST(PieceBoard, AFailedPieceOrTheEndOfThePiecesStopsEveryFurtherTake) {
    PieceBoard board;
    board.LayFresh(kSize);
    PieceSplit split;
    EXPECT_EQ(board.TakeNext(true, split), -1);
    ASSERT_EQ(board.TakeOwn(0), 0);
    board.EndPiece(0, false);
    EXPECT_EQ(board.TakeNext(false, split), -1);
    EXPECT_EQ(board.TakeOwn(1), 1);  // a worker's own piece is still its own
}

TEST(PieceBoard, TheResumedLayoutKeepsWhatThePiecesHoldAndNeedsOnlyTheRest) {
    http_pieces::PieceState saved;
    saved.url = "http://host/package.exe";
    saved.size = 3000;
    saved.validator = "\"etag\"";
    saved.pieces = {{0, 0, 1000, 1000}, {1, 1000, 1000, 400}, {7, 2000, 1000, 0}};
    PieceBoard board;
    EXPECT_EQ(board.LayResumed(saved), 1400u);
    EXPECT_TRUE(board.StateKept());
    EXPECT_EQ(board.TakeOwn(0), -1);  // whole already
    EXPECT_EQ(board.TakeOwn(1), 1);
    EXPECT_FALSE(board.Slot(1).firstRange);
    EXPECT_EQ(board.StartTry(1, 0), 400u);
    EXPECT_EQ(board.TakeBytes(1, 5000), 600u);
    PieceSplit split;
    EXPECT_EQ(board.TakeNext(false, split), 7);
    EXPECT_FALSE(board.NoteValidator("\"other\""));
    EXPECT_TRUE(board.NoteValidator("\"etag\""));
    std::string validator;
    std::vector<http_pieces::PieceSpan> spans;
    ASSERT_TRUE(board.Snapshot(validator, spans));
    EXPECT_EQ(validator, "\"etag\"");
    ASSERT_EQ(spans.size(), 3u);
    EXPECT_EQ(spans[1].held, 400u);
    EXPECT_EQ(spans[2].index, 7);
    // A partial file that is not the one the state describes: the spans stay, the bytes go.
    board.ForgetHeld();
    EXPECT_FALSE(board.StateKept());
    EXPECT_EQ(board.Held().bytes, 0u);
    EXPECT_EQ(board.StoredTotal(), 0u);
    EXPECT_EQ(board.StartTry(0, 0), 0u);
}

TEST(PieceBoard, AnAnswerThatWasNotTheRangeCountsNothingAndATryStartsFromTheStored) {
    PieceBoard board;
    TakeFirstFive(board);
    std::vector<Write> writes;
    Feed(board, 3, 1000, writes);
    EXPECT_EQ(board.TakeBytes(3, 500), 500u);  // taken into the buffer, never stored
    EXPECT_EQ(board.StartTry(3, 0), 1000u);
    EXPECT_EQ(board.Slot(3).received.load(), 1000u);
    board.DropStored(3);
    EXPECT_EQ(board.StartTry(3, 0), 0u);
}

TEST(PieceBoard, ResetForgetsThePiecesTheValidatorAndTheFailure) {
    PieceBoard board;
    TakeFirstFive(board);
    std::vector<Write> writes;
    Feed(board, 0, 1000, writes);
    EXPECT_TRUE(board.NoteValidator("\"one\""));
    board.NoteStateKept(true);
    board.EndPiece(1, false);
    board.Reset();
    EXPECT_FALSE(board.StateKept());
    EXPECT_FALSE(Records(board));
    EXPECT_EQ(board.Held().bytes, 0u);
    EXPECT_TRUE(board.NoteValidator("\"two\""));
    board.LayFresh(kSize);
    for (int worker = 0; worker < http_pieces::kPieceCount; ++worker)
        EXPECT_EQ(board.TakeOwn(worker), worker);
    for (int i = 1; i < 5; ++i)
        board.EndPiece(i, true);
    PieceSplit split;
    EXPECT_EQ(board.TakeNext(false, split), 5);  // numbers start again after the five
}

TEST(PieceBoard, AStateWithoutAValidatorIsNotRecorded) {
    PieceBoard board;
    board.LayFresh(kSize);
    EXPECT_TRUE(board.NoteValidator(""));
    EXPECT_FALSE(Records(board));
    EXPECT_FALSE(board.NoteValidator("\"late\""));
}

}  // namespace
