#include "http/download_pieces.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "http/stall_watch.h"
#include "http/transfer_sinks.h"
#include "support/test_servers.h"

namespace {

using http_pieces::PieceRange;

TEST(PieceRange, FiveRangesCoverTheFileAndTheLastEndsAtTheSize) {
    const char* expected[] = {"0-200000", "200001-400000", "400001-600000", "600001-800000",
                              "800001-1000003"};
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(PieceRange(1000003, i), expected[i]) << "piece " << i;
}

TEST(PieceRange, TinyFilesGiveInvertedMiddleRanges) {
    EXPECT_EQ(PieceRange(3, 0), "0-0");
    EXPECT_EQ(PieceRange(3, 1), "1-0");
    EXPECT_EQ(PieceRange(3, 3), "1-0");
    EXPECT_EQ(PieceRange(3, 4), "1-3");
}

TEST(PieceRange, SizesAroundFourGibibytesAndBeyondKeepTheRule) {
    // Below 4 GiB the texts are as they always were.
    EXPECT_EQ(PieceRange(4294967295u, 3), "2576980378-3435973836");
    EXPECT_EQ(PieceRange(4294967295u, 4), "3435973837-4294967295");
    EXPECT_EQ(PieceRange(4294967296ull, 0), "0-858993459");
    EXPECT_EQ(PieceRange(4294967296ull, 4), "3435973837-4294967296");
    EXPECT_EQ(PieceRange(4294967300ull, 1), "858993461-1717986920");
    EXPECT_EQ(PieceRange(4294967300ull, 4), "3435973841-4294967300");
    EXPECT_EQ(PieceRange(1099511627776ull, 2), "439804651111-659706976665");
    EXPECT_EQ(PieceRange(1099511627776ull, 4), "879609302221-1099511627776");
    // The pieces cover every size exactly once.
    for (uint64_t size :
         {4294967295ull, 4294967296ull, 4294967300ull, 1099511627776ull, 4831838211ull}) {
        uint64_t next = 0;
        for (const http_pieces::PieceSpan& piece : http_pieces::FirstPieces(size)) {
            EXPECT_EQ(piece.start, next) << "size " << size << ", piece " << piece.index;
            next += piece.length;
        }
        EXPECT_EQ(next, size);
    }
}

TEST(SplitPoint, TakesHalfOfTheRestAndNeverBelowTheMinimum) {
    uint64_t kept = 0, helper = 0;
    http_pieces::SplitPace unknown;
    // A piece of 4 GiB with 3 GiB still to come.
    uint64_t length = 4294967296ull, held = 1073741824ull;
    ASSERT_TRUE(http_pieces::SplitPoint(length, held, unknown, kept, helper));
    EXPECT_EQ(helper, 1610612736ull);
    EXPECT_EQ(kept + helper, length);
    // One byte more than the minimum is split; the minimum itself is not.
    constexpr uint64_t kMin = http_pieces::kMinSplitBytes;
    EXPECT_TRUE(http_pieces::SplitPoint(kMin + 1, 0, unknown, kept, helper));
    EXPECT_FALSE(http_pieces::SplitPoint(kMin, 0, unknown, kept, helper));
    EXPECT_FALSE(http_pieces::SplitPoint(length, length - kMin, unknown, kept, helper));
    EXPECT_FALSE(http_pieces::SplitPoint(100, 500, unknown, kept, helper));
}

TEST(SplitPoint, ASlowPieceLeavesItsHelpersTheShareOfTheirPaces) {
    uint64_t kept = 0, helper = 0;
    constexpr uint64_t kMiB = 1024 * 1024;
    // At 1 MiB/s against a helper at 4 MiB/s, all end at once when it takes four fifths; with
    // one other at 4 MiB/s still fetching, eight ninths.
    ASSERT_TRUE(http_pieces::SplitPoint(10 * kMiB, 2 * kMiB, {kMiB, 4 * kMiB, 0}, kept, helper));
    EXPECT_EQ(helper, 8 * kMiB * 4 / 5);
    EXPECT_EQ(kept + helper, 10 * kMiB);
    ASSERT_TRUE(http_pieces::SplitPoint(9 * kMiB, 0, {kMiB, 4 * kMiB, 4 * kMiB}, kept, helper));
    EXPECT_EQ(kept, kMiB);
    // A stalled piece keeps a sixteenth; a piece of like pace, or faster, gives half.
    ASSERT_TRUE(http_pieces::SplitPoint(8 * kMiB, 0, {1, 4 * kMiB, 0}, kept, helper));
    EXPECT_EQ(kept, kMiB / 2);
    for (uint64_t piece : {3 * kMiB, 8 * kMiB}) {
        ASSERT_TRUE(
            http_pieces::SplitPoint(8 * kMiB, 0, {piece, 4 * kMiB, 12 * kMiB}, kept, helper));
        EXPECT_EQ(helper, 4 * kMiB);
    }
    // Below the minimum only a slow piece, where the split saves time: 512 KiB at 100 KiB/s
    // with a helper at 4 MiB/s is; at 10 MiB/s on both sides, or with a helper less than twice
    // as fast, it is not; and no pace ever splits the last 64 KiB.
    EXPECT_TRUE(http_pieces::SplitPoint(kMiB, kMiB / 2, {100 * 1024, 4 * kMiB, 0}, kept, helper));
    EXPECT_GT(helper, kMiB / 2 * 9 / 10);
    EXPECT_FALSE(http_pieces::SplitPoint(kMiB, kMiB / 2, {10 * kMiB, 10 * kMiB, 0}, kept, helper));
    EXPECT_FALSE(
        http_pieces::SplitPoint(kMiB, kMiB / 2, {100 * 1024, 150 * 1024, 0}, kept, helper));
    EXPECT_FALSE(http_pieces::SplitPoint(kMiB, kMiB - http_pieces::kMinSlowSplitBytes, {1, kMiB, 0},
                                         kept, helper));
}

TEST(PieceLength, IsWhatEachRangeHoldsOfTheFileAndAddsUpToTheSize) {
    // The last range names one byte past the end, which the file does not have.
    uint64_t expected[] = {200001, 200000, 200000, 200000, 200002};
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(http_pieces::PieceLength(1000003, i), expected[i]) << "piece " << i;
    for (uint64_t size : {0ull, 1ull, 3ull, 5ull, 6ull, 9ull, 1000003ull, 4294967295ull,
                          4294967296ull, 1099511627776ull}) {
        uint64_t sum = 0;
        for (int i = 0; i < 5; ++i)
            sum += http_pieces::PieceLength(size, i);
        EXPECT_EQ(sum, size) << "size " << size;
    }
    // Inverted ranges hold nothing.
    EXPECT_EQ(http_pieces::PieceLength(3, 1), 0u);
}

TEST(PieceNames, FollowTheDestinationAndFitOnlyShortPaths) {
    EXPECT_EQ(http_pieces::PartialNameFor("C:/d/p.exe"), "C:/d/p.exe.tmp_part");
    EXPECT_EQ(http_pieces::StateName("C:/d/p.exe"), "C:/d/p.exe.tmp_state");
    EXPECT_EQ(http_pieces::NewStateName("C:/d/p.exe"), "C:/d/p.exe.tmp_new");
    EXPECT_EQ(http_pieces::StreamName("C:/d/p.exe"), "C:/d/p.exe.tmp_stream");
    // The state, the stream's name and the partial name beside the destination only where they
    // fit in 259 characters; the new state's name is never the longer one.
    EXPECT_TRUE(http_pieces::StateNameFits(std::string(249, 'a')));
    EXPECT_FALSE(http_pieces::StateNameFits(std::string(250, 'a')));
    EXPECT_TRUE(http_pieces::StreamNameFits(std::string(248, 'a')));
    EXPECT_FALSE(http_pieces::StreamNameFits(std::string(249, 'a')));
    EXPECT_LE(http_pieces::NewStateName("a").size(), http_pieces::StateName("a").size());
    EXPECT_EQ(http_pieces::PartialNameFor(std::string(250, 'a')),
              std::string(250, 'a') + ".tmp_part");
    EXPECT_FALSE(http_pieces::StateNameFits(""));
    // A longer destination's partial file has a short name of its own in the same folder.
    std::string folder = std::string(240, 'f') + "/";
    std::string partial = http_pieces::PartialNameFor(folder + std::string(17, 'n'));
    EXPECT_EQ(partial.compare(0, folder.size() + 1, folder + "~"), 0);
    EXPECT_LE(partial.size(), 259u);
    EXPECT_NE(partial, http_pieces::PartialNameFor(folder + std::string(16, 'n') + "m"));
    EXPECT_EQ(http_pieces::PartialNameFor(folder + std::string(18, 'n')).size(),
              folder.size() + 13);
    std::string deep = std::string(248, 'f') + "/";
    EXPECT_EQ(http_pieces::PartialNameFor(deep + "nn").compare(0, deep.size() + 1, deep + "~"), 0);
    EXPECT_EQ(http_pieces::PartialNameFor(deep + "nn").size(), deep.size() + 9);
}

TEST(PieceState, ReadsBackWhatWasWrittenAndOnlyAWholeConsistentState) {
    http_pieces::PieceState state;
    state.url = "http://h/p q.exe?a=1";
    state.size = 1000;
    state.validator = "etag \"x y\"";
    state.pieces = {
        {0, 0, 300, 300}, {1, 300, 200, 0}, {5, 500, 100, 7}, {2, 600, 400, 400}, {3, 1000, 0, 0}};
    std::string text = http_pieces::FormatPieceState(state);
    http_pieces::PieceState read;
    ASSERT_TRUE(http_pieces::ParsePieceState(text, read));
    EXPECT_EQ(read.url, state.url);
    EXPECT_EQ(read.size, 1000u);
    EXPECT_EQ(read.validator, state.validator);
    ASSERT_EQ(read.pieces.size(), 5u);
    EXPECT_EQ(read.pieces[2].index, 5);
    EXPECT_EQ(read.pieces[2].start, 500u);
    EXPECT_EQ(read.pieces[2].length, 100u);
    EXPECT_EQ(read.pieces[2].held, 7u);
    EXPECT_EQ(read.pieces[3].held, 400u);

    auto replaced = [&](const std::string& from, const std::string& to) {
        std::string changed = text;
        changed.replace(changed.find(from), from.size(), to);
        return changed;
    };
    const std::string broken[] = {
        text.substr(0, text.size() - 4),                     // cut off while it was written
        replaced("piece 5 500 100 7", "piece 5 501 99 7"),   // a gap
        replaced("piece 5 500 100 7", "piece 5 450 150 7"),  // an overlap
        replaced("piece 5 ", "piece 1 "),                    // a number twice
        replaced("piece 5 ", "piece 128 "),                  // beyond the last number
        replaced("size 1000", "size 1001"),                  // pieces short of the file
        replaced("size 1000", "size -1000"),
        replaced("piece 5 500 100 7", "piece 5 500 100 101"),  // holding more than its span
        replaced("piece 2 600 400 400", "piece 2 600 400 400 7"),
        replaced("piece 2 600 400 400", "piece 2 600 400"),  // the earlier layout's piece
        replaced("url ", "link "),
        // Torn in the middle of a piece's fields.
        replaced("piece 5 500 100 7", "piece 5"),
        replaced("piece 5 500 100 7", "piece 5 500"),
        replaced("piece 5 500 100 7", "piece 5 500 100"),
        replaced("piece 5 500 100 7", "piece"),
        replaced("piece 5 500 100 7", "piece 5 500 100 "),
        "",
    };
    for (const std::string& each : broken) {
        SCOPED_TRACE(each);
        http_pieces::PieceState rejected;
        EXPECT_FALSE(http_pieces::ParsePieceState(each, rejected));
    }
}

TEST(StallWatchdog, AbortsOnlyWhenNothingArrivedForMoreThanFifteenSeconds) {
    uint32_t lastCheck = 100000;
    double mark = 0;
    // Within the stretch nothing is judged, not even a count that has not moved.
    EXPECT_FALSE(http_transfer::StallWatchdogExpired(lastCheck, mark, 0, 115000));
    // After more than 15 s without a new byte the try is aborted.
    EXPECT_TRUE(http_transfer::StallWatchdogExpired(lastCheck, mark, 0, 115001));
    // New bytes start a new stretch from the current count and tick.
    EXPECT_FALSE(http_transfer::StallWatchdogExpired(lastCheck, mark, 700, 115001));
    EXPECT_EQ(mark, 700);
    EXPECT_EQ(lastCheck, 115001u);
    EXPECT_FALSE(http_transfer::StallWatchdogExpired(lastCheck, mark, 700, 130001));
    EXPECT_TRUE(http_transfer::StallWatchdogExpired(lastCheck, mark, 700, 130002));
}

TEST(StallWatchdog, SurvivesTheTickCounterWrappingAround) {
    uint32_t lastCheck = 0xFFFFF000u;  // 4,096 ms before the wrap
    double mark = 10;
    EXPECT_FALSE(http_transfer::StallWatchdogExpired(lastCheck, mark, 10, 5000));
    EXPECT_TRUE(http_transfer::StallWatchdogExpired(lastCheck, mark, 10, 15000));
}

TEST(RequestBody, KeepsLongAnswersWholeUpToTheCap) {
    http_transfer::RequestSink sink;
    std::string chunk(16384, 'x');
    for (size_t stored = 0; stored + chunk.size() <= http_transfer::kMaxRequestBodyBytes;
         stored += chunk.size())
        ASSERT_EQ(http_transfer::WriteRequestBody(chunk.data(), 1, chunk.size(), &sink),
                  chunk.size());
    EXPECT_EQ(sink.body.size(), http_transfer::kMaxRequestBodyBytes);
    // One byte more fails the transfer.
    EXPECT_EQ(http_transfer::WriteRequestBody(chunk.data(), 1, 1, &sink), 0u);
    // Without data nothing is stored and the transfer goes on.
    EXPECT_EQ(http_transfer::WriteRequestBody(nullptr, 1, 5, &sink), 5u);
}

}  // namespace
