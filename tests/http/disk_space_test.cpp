// The ledger of reserved disk space and the reservations downloads hold against it, alone and
// under downloads through the engine.
#include "http/disk_space.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "download_outcome.h"
#include "http/download_pieces.h"
#include "support/scratch.h"
#include "support/test_servers.h"

namespace {

using http_download_test::CountStartingWith;
using http_download_test::Download;
using http_download_test::DownloadTo;
using http_download_test::kLargeSize;
using http_download_test::kSampleSize;
using http_download_test::Outcome;
using http_download_test::SampleUrl;
using http_test::FaultUrl;
using http_test::PatternBytes;
using http_test::RecordingOwner;

using http_disk::DiskReservation;
using http_disk::DiskSpace;
using http_disk::RestToWrite;

// Reserves `needed` bytes on a volume that shows `volumeFree` bytes free.
bool Reserve(DiskReservation& reservation, uint64_t needed, uint64_t volumeFree) {
    return reservation.Reserve(needed, volumeFree);
}

TEST(DiskSpace, TwoReservationsShareTheFreeBytesOfTheVolume) {
    DiskSpace space;
    DiskReservation first(space), second(space);
    uint64_t free = 1000;
    ASSERT_TRUE(first.Reserve(600, free));
    EXPECT_EQ(free, 1000u);
    free = 1000;
    EXPECT_FALSE(second.Reserve(500, free));
    EXPECT_EQ(free, 400u);  // what the first one left, as the refusal logs it
    EXPECT_EQ(second.Bytes(), 0u);
    EXPECT_TRUE(Reserve(second, 400, 1000));
    EXPECT_EQ(space.Reserved(), 1000u);
}

TEST(DiskSpace, AReservationMadeAgainTakesThePlaceOfTheEarlierOne) {
    // The stream after the pieces reserves the whole file in place of the pieces' rest.
    DiskSpace space;
    DiskReservation download(space);
    ASSERT_TRUE(Reserve(download, 600, 1000));
    uint64_t free = 1000;
    EXPECT_TRUE(download.Reserve(900, free));
    EXPECT_EQ(free, 1000u);
    EXPECT_EQ(space.Reserved(), 900u);
}

TEST(DiskSpace, AShrinkLowersAReservationAndNeverRaisesIt) {
    DiskSpace space;
    DiskReservation first(space), second(space);
    ASSERT_TRUE(Reserve(first, 1000, 1000));
    first.ShrinkTo(2000);
    EXPECT_EQ(first.Bytes(), 1000u);
    first.ShrinkTo(300);
    EXPECT_EQ(first.Bytes(), 300u);
    EXPECT_TRUE(Reserve(second, 700, 1000));
    EXPECT_EQ(space.Reserved(), 1000u);
}

TEST(DiskSpace, WhatADownloadWroteIsNotCountedTwice) {
    // 1500 bytes free; a download of 1000 writes 700 of them, which the volume then shows taken.
    DiskSpace space;
    DiskReservation first(space), second(space);
    ASSERT_TRUE(Reserve(first, 1000, 1500));
    EXPECT_FALSE(Reserve(second, 500, 800));
    first.ShrinkTo(RestToWrite(1000, 700));
    EXPECT_TRUE(Reserve(second, 500, 800));
    EXPECT_EQ(RestToWrite(1000, 1000), 0u);
    EXPECT_EQ(RestToWrite(1000, 4096), 0u);  // an allocation rounded up past the file
}

TEST(DiskSpace, AReservationGoingOutOfScopeGivesItsBytesBack) {
    DiskSpace space;
    {
        DiskReservation download(space);
        ASSERT_TRUE(Reserve(download, 1000, 1000));
        EXPECT_EQ(space.Reserved(), 1000u);
    }
    EXPECT_EQ(space.Reserved(), 0u);
    DiskReservation released(space);
    ASSERT_TRUE(Reserve(released, 1000, 1000));
    released.Release();
    EXPECT_EQ(space.Reserved(), 0u);
    EXPECT_EQ(released.Bytes(), 0u);
}

TEST(DiskSpace, TheOverrideStandsForTheVolumeUntilItIsTakenBack) {
    DiskSpace space;
    fixtures::ScratchFolder folder;
    std::string path = folder.Path("package.exe");
    uint64_t free = 0;
    space.SetFreeBytesForTesting(12345);
    ASSERT_TRUE(space.FreeBytesFor(path, free));
    EXPECT_EQ(free, 12345u);
    space.SetFreeBytesForTesting(-1);
    ASSERT_TRUE(space.FreeBytesFor(path, free));
    EXPECT_NE(free, 12345u);
}

// The pieces write in place: they need the file's length S, as one stream does.
TEST(DiskSpaceOfDownloads, TheFreeDiskSpaceDecidesBetweenPiecesAndNothing) {
    struct Case {
        uint64_t free;
        int success, ranged, plain;
    };
    for (const Case& each : {Case{2 * kSampleSize - 1, 1, 5, 0}, Case{kSampleSize, 1, 5, 0},
                             Case{kSampleSize - 1, 0, 0, 0}}) {
        SCOPED_TRACE("free " + std::to_string(each.free));
        std::string key = http_test::UniqueKey();
        Outcome outcome = Download(SampleUrl(key), kSampleSize, static_cast<int64_t>(each.free));
        EXPECT_EQ(outcome.success, each.success);
        if (each.success == 1) {
            EXPECT_TRUE(outcome.content == PatternBytes(kSampleSize));
        }
        EXPECT_TRUE(outcome.leftovers.empty());
        std::vector<std::string> requests = http_test::RecordedRequests(key);
        EXPECT_EQ(CountStartingWith(requests, "GET bytes="), each.ranged);
        EXPECT_EQ(CountStartingWith(requests, "GET -"), each.plain);
    }
}

// Disk space for one and a half files: the second download starts while the first still has a slow
// fifth of its file to write, and the first one's reservation counts only that fifth.
TEST(DiskSpaceOfDownloads, DownloadsRunningAtOnceReserveOnlyWhatTheyStillWrite) {
    fixtures::ScratchFolder folder;
    std::string key = http_test::UniqueKey();
    {
        RecordingOwner owner;
        owner.DownloadDiskSpace().SetFreeBytesForTesting(kLargeSize + kLargeSize / 2);
        int first = 0, second = 0;
        std::string slow = FaultUrl("/files/pattern.8000000?key=" + key + "&first_rate=300000");
        ASSERT_EQ(owner.Download(slow, folder.Path("a.exe"), &first, kLargeSize), 1);
        platform::SleepMilliseconds(1000);
        std::string fast = FaultUrl("/files/pattern.8000000?key=" + key + "b");
        ASSERT_EQ(owner.Download(fast, folder.Path("b.exe"), &second, kLargeSize), 1);
        ASSERT_TRUE(owner.WaitForResults(2));
        EXPECT_EQ(owner.ResultOf(first).success, 1);
        EXPECT_EQ(owner.ResultOf(second).success, 1);
    }
    std::vector<std::string> second = http_test::RecordedRequests(key + "b");
    EXPECT_GE(CountStartingWith(second, "GET bytes="), 5);
    EXPECT_EQ(CountStartingWith(second, "GET -"), 0);
}

}  // namespace

// A state that says half the file is held, beside a partial file that is gone: the download writes
// the whole file again, so it needs the disk space of the whole file, not of the half its state
// promised.
TEST(DiskSpaceOfDownloads, ResumedPiecesWhosePartialFileIsGoneNeedTheWholeFilesSpace) {
    for (bool fits : {false, true}) {
        SCOPED_TRACE(fits ? "space for the whole file" : "space for the half the state holds");
        fixtures::ScratchFolder folder;
        std::string key = http_test::UniqueKey();
        std::string url = SampleUrl(key, "etag=v1");
        std::string path = folder.Path("package.exe");
        http_pieces::PieceState state;
        state.url = url;
        state.size = kSampleSize;
        state.validator = "etag \"v1\"";  // as the server gives it
        for (http_pieces::PieceSpan span : http_pieces::FirstPieces(kSampleSize)) {
            span.held = span.length / 2;
            state.pieces.push_back(span);
        }
        ASSERT_TRUE(http_pieces::WritePieceState(path, state));
        Outcome outcome = DownloadTo(folder, "package.exe", url, kSampleSize,
                                     fits ? kSampleSize : kSampleSize - 1);
        EXPECT_EQ(outcome.success, fits ? 1 : 0);
        if (fits) {
            EXPECT_TRUE(outcome.content == PatternBytes(kSampleSize));
        }
        EXPECT_TRUE(outcome.leftovers.empty());
        if (!fits) {
            EXPECT_EQ(CountStartingWith(http_test::RecordedRequests(key), "GET"), 0);
        }
    }
}
