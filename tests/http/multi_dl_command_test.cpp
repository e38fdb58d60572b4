// The download's course and its segmented download against nginx and the fault server.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "download_outcome.h"
#include "platform/path.h"
#include "support/test_servers.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace {

using http_test::FaultUrl;
using http_test::NginxUrl;
using http_test::PatternBytes;
using http_test::RecordingOwner;

using http_download_test::CountStartingWith;
using http_download_test::Download;
using http_download_test::DownloadTo;
using http_download_test::kLargeSize;
using http_download_test::kSampleSize;
using http_download_test::Outcome;
using http_download_test::SampleUrl;
using http_download_test::Sorted;

// What an over-long answer sends beyond the body: far more than the file.
constexpr size_t kOverrun = 64 * 1024 * 1024;

TEST(MultiDlCommand, FiveRangesFromNginxJoinIntoTheFile) {
    Outcome outcome = Download(NginxUrl("pattern.1000003"), kSampleSize);
    EXPECT_EQ(outcome.success, 1);
    EXPECT_TRUE(outcome.content == PatternBytes(kSampleSize));
    EXPECT_TRUE(outcome.leftovers.empty());
    EXPECT_TRUE(outcome.resultCameLast);
    ASSERT_FALSE(outcome.progress.empty());
    EXPECT_DOUBLE_EQ(*std::max_element(outcome.progress.begin(), outcome.progress.end()), 1.0);
}

TEST(MultiDlCommand, ExpectedSizeGivesTheFiveRangesWithoutAProbe) {
    std::string key = http_test::UniqueKey();
    Outcome outcome = Download(SampleUrl(key), kSampleSize);
    EXPECT_EQ(outcome.success, 1);
    std::vector<std::string> requests = http_test::RecordedRequests(key);
    std::sort(requests.begin(), requests.end());
    std::vector<std::string> expected = {"GET bytes=0-200000", "GET bytes=200001-400000",
                                         "GET bytes=400001-600000", "GET bytes=600001-800000",
                                         "GET bytes=800001-1000003"};
    EXPECT_EQ(requests, expected);
}

TEST(MultiDlCommand, WithoutExpectedSizeAHeadRequestFindsTheLength) {
    std::string key = http_test::UniqueKey();
    Outcome outcome = Download(SampleUrl(key), 0);
    EXPECT_EQ(outcome.success, 1);
    EXPECT_TRUE(outcome.content == PatternBytes(kSampleSize));
    std::vector<std::string> requests = http_test::RecordedRequests(key);
    ASSERT_EQ(requests.size(), 6u);
    EXPECT_EQ(requests[0], "HEAD -");
    EXPECT_EQ(CountStartingWith(requests, "GET bytes="), 5);
}

TEST(MultiDlCommand, ServerIgnoringRangesFallsBackToOneStream) {
    std::string key = http_test::UniqueKey();
    Outcome outcome = Download(SampleUrl(key, "ignore_range=1"), kSampleSize);
    EXPECT_EQ(outcome.success, 1);
    EXPECT_TRUE(outcome.content == PatternBytes(kSampleSize));
    EXPECT_TRUE(outcome.leftovers.empty());
    // The first answer of the whole file ends the pieces: none is tried twice, none starts late.
    std::vector<std::string> requests = http_test::RecordedRequests(key);
    EXPECT_LE(CountStartingWith(requests, "GET bytes="), 5);
    EXPECT_EQ(CountStartingWith(requests, "GET -"), 1);
    EXPECT_TRUE(outcome.resultCameLast);
}

TEST(MultiDlCommand, FilesShorterThanFivePiecesStillArrive) {
    Outcome outcome = Download(NginxUrl("pattern.3"), 3);
    EXPECT_EQ(outcome.success, 1);
    EXPECT_EQ(outcome.content, PatternBytes(3));
    EXPECT_TRUE(outcome.leftovers.empty());
}

TEST(MultiDlCommand, TheLengthTheRangedAnswersAnnounceGovernsOverTheProbes) {
    // The probe is told 5 GiB more than the file has: the first ranged answer announces the
    // file's own length, its pieces end, and the file comes in pieces of that length.
    std::string key = http_test::UniqueKey();
    Outcome outcome = Download(SampleUrl(key, "on=head&wrong_length=5368709120"), 0);
    EXPECT_EQ(outcome.success, 1);
    EXPECT_TRUE(outcome.content == PatternBytes(kSampleSize));
    EXPECT_TRUE(outcome.leftovers.empty());
    std::vector<std::string> requests = http_test::RecordedRequests(key);
    EXPECT_EQ(requests.front(), "HEAD -");
    // The first answer of another length ends the first pieces: none is tried twice.
    EXPECT_LE(CountStartingWith(requests, "GET bytes="), 10);
    std::vector<std::string> last(requests.end() - 5, requests.end());
    std::vector<std::string> firstRanges;
    for (int i = 0; i < http_pieces::kPieceCount; ++i)
        firstRanges.push_back("GET bytes=" + http_pieces::PieceRange(kSampleSize, i));
    EXPECT_EQ(Sorted(last), Sorted(firstRanges));
    EXPECT_EQ(CountStartingWith(requests, "GET -"), 0);
}

// An answer whose size is wrong: the length the server announces governs, in pieces and in the
// stream (the package's digest judges the content).
TEST(MultiDlCommand, AFileOfAnotherLengthThanExpectedComesAtTheServersLength) {
    for (uint32_t expected : {kSampleSize - 10, kSampleSize + 10}) {
        SCOPED_TRACE(expected);
        Outcome outcome = Download(NginxUrl("pattern.1000003"), expected);
        EXPECT_EQ(outcome.success, 1);
        EXPECT_TRUE(outcome.content == PatternBytes(kSampleSize));
        EXPECT_TRUE(outcome.leftovers.empty());
    }
    // A server that ignores ranges: the stream takes the length its answer announces.
    std::string key = http_test::UniqueKey();
    Outcome outcome = Download(SampleUrl(key, "ignore_range=1"), kSampleSize + 10);
    EXPECT_EQ(outcome.success, 1);
    EXPECT_TRUE(outcome.content == PatternBytes(kSampleSize));
    EXPECT_EQ(CountStartingWith(http_test::RecordedRequests(key), "GET -"), 1);
}

TEST(MultiDlCommand, RedirectWithoutExpectedSizeIsProbedToTheEndAndComesInFivePieces) {
    // The probe follows the redirect and takes the final answer's length, never the redirect's
    // own (a pattern of 3 bytes); the pieces then ask the final address.
    std::string key = http_test::UniqueKey();
    Outcome outcome =
        Download(FaultUrl("/files/pattern.3?redirect=" +
                          http_test::QueryEscape("/files/pattern.1000003?key=" + key)),
                 0);
    EXPECT_EQ(outcome.success, 1);
    EXPECT_TRUE(outcome.content == PatternBytes(kSampleSize));
    std::vector<std::string> requests = http_test::RecordedRequests(key);
    EXPECT_EQ(CountStartingWith(requests, "HEAD"), 1);
    EXPECT_EQ(CountStartingWith(requests, "GET bytes="), 5);
    EXPECT_EQ(CountStartingWith(requests, "GET -"), 0);
}

TEST(MultiDlCommand, RedirectWithExpectedSizeIsFollowedByEveryPiece) {
    Outcome outcome =
        Download(FaultUrl("/files/pattern.3?redirect=/files/pattern.1000003"), kSampleSize);
    EXPECT_EQ(outcome.success, 1);
    EXPECT_TRUE(outcome.content == PatternBytes(kSampleSize));
}

TEST(MultiDlCommand, PackageUrlsOfOtherSchemesAreNotFetched) {
    // A local file of exactly the expected size, as an answer could name it.
    fixtures::ScratchFolder elsewhere;
    std::string secret = elsewhere.Path("secret.bin");
    ASSERT_TRUE(http_test::WriteWholeFile(secret, PatternBytes(kSampleSize)));
    std::string key = http_test::UniqueKey();
    for (const std::string& url : {http_test::FileUrl(secret), http_test::GopherToFaultServer(key),
                                   http_test::FtpToFaultServer()}) {
        std::string redirect = FaultUrl("/files/pattern.3?redirect=" + http_test::QueryEscape(url));
        for (const auto& [via, expected] :
             {std::make_pair(url, kSampleSize), std::make_pair(url, 0u),
              std::make_pair(redirect, kSampleSize)}) {
            SCOPED_TRACE(via + ", expected size " + std::to_string(expected));
            Outcome outcome = Download(via, expected);
            EXPECT_EQ(outcome.success, 0);
            EXPECT_TRUE(outcome.content.empty());
            EXPECT_TRUE(outcome.leftovers.empty());
            // Only the pauses between the pieces' tries.
            EXPECT_LT(outcome.seconds, 8.0);
        }
    }
    EXPECT_TRUE(http_test::RecordedRequests(key).empty());
}

TEST(MultiDlCommand, RedirectLoopEndsEveryTryAtTheLimit) {
    std::string key = http_test::UniqueKey();
    Outcome outcome = Download(FaultUrl("/files/pattern.3?redirect_loop=1&key=" + key), 3);
    EXPECT_EQ(outcome.success, 0);
    EXPECT_TRUE(outcome.leftovers.empty());
    // Two tries of each of the two pieces that hold a byte of the three (the middle three are
    // empty), then two of the single stream: each try is the request and its redirects.
    size_t perTry = static_cast<size_t>(http_transfer::kMaxRedirects) + 1;
    EXPECT_EQ(http_test::RecordedRequests(key).size(), (2 * 2 + 2) * perTry);
}

TEST(MultiDlCommand, PiecesSentMoreThanTheirRangesAreCutOffAndTheStreamFetchesTheFile) {
    std::string key = http_test::UniqueKey();
    Outcome outcome =
        Download(SampleUrl(key, "on=ranged&overrun=" + std::to_string(kOverrun)), kSampleSize);
    EXPECT_EQ(outcome.success, 1);
    EXPECT_TRUE(outcome.content == PatternBytes(kSampleSize));
    EXPECT_TRUE(outcome.leftovers.empty());
    EXPECT_LT(outcome.seconds, 10.0);
    std::vector<std::string> requests = http_test::RecordedRequests(key);
    EXPECT_EQ(CountStartingWith(requests, "GET bytes="), 10);
    EXPECT_EQ(CountStartingWith(requests, "GET -"), 1);
}

TEST(MultiDlCommand, AnswersLongerThanTheExpectedSizeNeverGrowTheFilePastIt) {
    fixtures::ScratchFolder folder;
    // Through the pieces and then the stream, also with a path too long for the names beside it.
    std::string longName = std::string(254 - ToWide(folder.Path("")).size(), 'o');
    for (const std::string& name : {std::string("package.exe"), longName}) {
        SCOPED_TRACE(name.size());
        std::string key = http_test::UniqueKey();
        Outcome outcome = DownloadTo(
            folder, name, SampleUrl(key, "overrun=" + std::to_string(kOverrun)), kSampleSize);
        EXPECT_EQ(outcome.success, 0);
        EXPECT_LE(outcome.content.size(), kSampleSize);
        EXPECT_TRUE(outcome.content == PatternBytes(outcome.content.size()));
        EXPECT_LT(outcome.seconds, 10.0);
        std::vector<std::string> requests = http_test::RecordedRequests(key);
        EXPECT_EQ(CountStartingWith(requests, "GET -"), 2);
        EXPECT_EQ(CountStartingWith(requests, "GET bytes="), 10);
        platform::DeletePath(ToWide(folder.Path(name)));
    }
    EXPECT_TRUE(folder.Names().empty());
}

TEST(MultiDlCommand, PieceCutOffOnceIsTriedAgain) {
    std::string key = http_test::UniqueKey();
    Outcome outcome = Download(SampleUrl(key, "on=ranged&times=1&close_at=1000"), kSampleSize);
    EXPECT_EQ(outcome.success, 1);
    EXPECT_TRUE(outcome.content == PatternBytes(kSampleSize));
    std::vector<std::string> requests = http_test::RecordedRequests(key);
    EXPECT_EQ(CountStartingWith(requests, "GET bytes="), 6);
    EXPECT_EQ(CountStartingWith(requests, "GET -"), 0);
}

TEST(MultiDlCommand, ConnectionsThatAlwaysBreakOffFailTheDownload) {
    std::string key = http_test::UniqueKey();
    Outcome outcome = Download(SampleUrl(key, "close_at=1000"), kSampleSize);
    EXPECT_EQ(outcome.success, 0);
    EXPECT_TRUE(outcome.leftovers.empty());
    std::vector<std::string> requests = http_test::RecordedRequests(key);
    EXPECT_EQ(CountStartingWith(requests, "GET bytes="), 10);  // two tries per piece
    EXPECT_EQ(CountStartingWith(requests, "GET -"), 2);
}

TEST(MultiDlCommand, PiecesThatFailAfterTheirLastByteStillJoin) {
    // An overstated length makes every try end in an error, yet each piece file holds its whole
    // range after the first: the length the file holds, not the transfer's result, decides, and
    // no second try is made.
    std::string key = http_test::UniqueKey();
    Outcome outcome = Download(SampleUrl(key, "wrong_length=100"), kSampleSize);
    EXPECT_EQ(outcome.success, 1);
    EXPECT_TRUE(outcome.content == PatternBytes(kSampleSize));
    std::vector<std::string> requests = http_test::RecordedRequests(key);
    EXPECT_EQ(CountStartingWith(requests, "GET bytes="), 5);
    EXPECT_EQ(CountStartingWith(requests, "GET -"), 0);
}

// The ranges the five first pieces of the sample ask for on a resumed try when each file holds
// `held` bytes: from the piece's start plus what it holds to the piece's last byte.
std::vector<std::string> ResumedRanges(uint32_t held) {
    std::vector<std::string> ranges;
    for (const http_pieces::PieceSpan& piece : http_pieces::FirstPieces(kSampleSize))
        ranges.push_back("GET bytes=" + std::to_string(piece.start + held) + "-" +
                         std::to_string(piece.start + piece.length - 1));
    return ranges;
}

TEST(MultiDlCommand, AFailedRepeatLeavesTheEarlierFileAsItWas) {
    fixtures::ScratchFolder folder;
    const std::string earlier = http_test::GeneratedText(kSampleSize);
    for (const char* faults : {"status=500", "close_at=1000", "on=ranged&overrun=100"}) {
        SCOPED_TRACE(faults);
        ASSERT_TRUE(http_test::WriteWholeFile(folder.Path("package.exe"), earlier));
        Outcome outcome = DownloadTo(folder, "package.exe",
                                     SampleUrl(http_test::UniqueKey(), faults), kSampleSize);
        if (std::string(faults).compare(0, 3, "on=") == 0) {
            // The stream fetched the file after the pieces: the new file replaced the old.
            EXPECT_EQ(outcome.success, 1);
            EXPECT_TRUE(outcome.content == PatternBytes(kSampleSize));
        } else {
            EXPECT_EQ(outcome.success, 0);
            EXPECT_TRUE(outcome.content == earlier);
        }
        EXPECT_TRUE(outcome.leftovers.empty());
    }
}

TEST(MultiDlCommand, APieceCutOffContinuesWhereItStopped) {
    std::string key = http_test::UniqueKey();
    Outcome outcome = Download(SampleUrl(key, "on=ranged&times=1&close_at=1000"), kSampleSize);
    EXPECT_EQ(outcome.success, 1);
    EXPECT_TRUE(outcome.content == PatternBytes(kSampleSize));
    std::vector<std::string> requests = http_test::RecordedRequests(key);
    ASSERT_EQ(requests.size(), 6u);
    // The first answer was cut after 1000 bytes; its piece's second try asks for the rest.
    std::vector<std::string> first = requests;
    first.pop_back();
    std::vector<std::string> firstRanges;
    for (int i = 0; i < http_pieces::kPieceCount; ++i)
        firstRanges.push_back("GET bytes=" + http_pieces::PieceRange(kSampleSize, i));
    EXPECT_EQ(Sorted(first), Sorted(firstRanges));
    int cut = static_cast<int>(std::find(firstRanges.begin(), firstRanges.end(), requests[0]) -
                               firstRanges.begin());
    ASSERT_LT(cut, http_pieces::kPieceCount);
    EXPECT_EQ(requests.back(), ResumedRanges(1000)[static_cast<size_t>(cut)]);
    EXPECT_TRUE(outcome.leftovers.empty());
}

TEST(MultiDlCommand, AnInterruptedDownloadIsResumedOnlyWhileTheServersValidatorHolds) {
    for (bool sameFile : {true, false}) {
        SCOPED_TRACE(sameFile ? "same validator" : "another validator");
        fixtures::ScratchFolder folder;
        std::string key = http_test::UniqueKey();
        // Every connection of the first download breaks off after 50,000 bytes: two tries of
        // each piece and of the stream, 12 answers, and then the download fails.
        std::string url = SampleUrl(key, "etag=v1&close_at=50000&times=12");
        Outcome first = DownloadTo(folder, "package.exe", url, kSampleSize);
        EXPECT_EQ(first.success, 0);
        EXPECT_EQ(Sorted(first.leftovers),
                  (std::vector<std::string>{"package.exe.tmp_part", "package.exe.tmp_state"}));
        size_t answered = http_test::RecordedRequests(key).size();
        ASSERT_EQ(answered, 12u);
        if (!sameFile) {
            // As if the file on the server had changed since the pieces were written.
            std::string state;
            std::string statePath = http_pieces::StateName(folder.Path("package.exe"));
            ASSERT_TRUE(http_test::ReadWholeFile(statePath, state));
            size_t at = state.find("etag \"v1\"");
            ASSERT_NE(at, std::string::npos);
            state.replace(at, 9, "etag \"v0\"");
            ASSERT_TRUE(http_test::WriteWholeFile(statePath, state));
        }

        Outcome second = DownloadTo(folder, "package.exe", url, kSampleSize);
        EXPECT_EQ(second.success, 1);
        EXPECT_TRUE(second.content == PatternBytes(kSampleSize));
        EXPECT_TRUE(second.leftovers.empty());
        std::vector<std::string> requests = http_test::RecordedRequests(key);
        requests.erase(requests.begin(), requests.begin() + static_cast<long>(answered));
        std::vector<std::string> expected = {"HEAD -"};
        if (sameFile) {
            for (const std::string& range : ResumedRanges(100000))
                expected.push_back(range);
        } else {
            for (int i = 0; i < http_pieces::kPieceCount; ++i)
                expected.push_back("GET bytes=" + http_pieces::PieceRange(kSampleSize, i));
        }
        EXPECT_EQ(Sorted(requests), Sorted(expected));
    }
}

TEST(MultiDlCommand, PiecesWithoutAValidatorAreNotKeptForALaterDownload) {
    fixtures::ScratchFolder folder;
    std::string key = http_test::UniqueKey();
    Outcome outcome =
        DownloadTo(folder, "package.exe", SampleUrl(key, "close_at=50000"), kSampleSize);
    EXPECT_EQ(outcome.success, 0);
    EXPECT_TRUE(outcome.leftovers.empty());
}

// Answers to ranged requests that are not the range asked: none of their bytes reaches a piece.
TEST(MultiDlCommand, OnlyTheRangeAskedReachesAPiece) {
    {
        SCOPED_TRACE("every range answered with the file from its first byte, as a 206");
        std::string key = http_test::UniqueKey();
        Outcome outcome = Download(SampleUrl(key, "on=ranged&range_start=0"), kSampleSize);
        EXPECT_EQ(outcome.success, 1);
        EXPECT_TRUE(outcome.content == PatternBytes(kSampleSize));
        EXPECT_TRUE(outcome.leftovers.empty());
        EXPECT_EQ(CountStartingWith(http_test::RecordedRequests(key), "GET -"), 1);
    }
    {
        SCOPED_TRACE("pieces cut off, then error pages on their second tries and the stream's");
        fixtures::ScratchFolder folder;
        std::string key = http_test::UniqueKey();
        std::string url = SampleUrl(key, "etag=v1&on=get&close_at=50000&times=5&then_status=500");
        Outcome outcome = DownloadTo(folder, "package.exe", url, kSampleSize);
        EXPECT_EQ(outcome.success, 0);
        // The pieces are kept for a later run, and hold only the file's own bytes.
        http_pieces::PieceState state;
        ASSERT_TRUE(http_pieces::ReadPieceState(folder.Path("package.exe"), state));
        const std::string file = PatternBytes(kSampleSize);
        std::string partial;
        ASSERT_TRUE(http_test::ReadWholeFile(folder.Path("package.exe.tmp_part"), partial));
        ASSERT_EQ(partial.size(), file.size());
        for (const http_pieces::PieceSpan& piece : state.pieces) {
            EXPECT_EQ(piece.held, 50000u) << "piece " << piece.index;
            EXPECT_TRUE(partial.substr(piece.start, piece.held) ==
                        file.substr(piece.start, piece.held))
                << "piece " << piece.index;
        }
    }
}

TEST(MultiDlCommand, AChangedValidatorStartsTheDownloadAfreshWithNewPieces) {
    // The first two answers carry one version's tag, every later one another's.
    std::string key = http_test::UniqueKey();
    Outcome outcome = Download(SampleUrl(key, "etag=v1&etag_change=2:v2"), kSampleSize);
    EXPECT_EQ(outcome.success, 1);
    EXPECT_TRUE(outcome.content == PatternBytes(kSampleSize));
    EXPECT_TRUE(outcome.leftovers.empty());
    std::vector<std::string> requests = http_test::RecordedRequests(key);
    // Of the five first ranges, at least the two of the old version and one of the new (a piece
    // that had not asked yet when the change was seen asks no more), then the five first ranges
    // again, all of the new version.
    int ranged = CountStartingWith(requests, "GET bytes=");
    EXPECT_GE(ranged, 8);
    EXPECT_LE(ranged, 10);
    std::vector<std::string> last(requests.end() - 5, requests.end());
    std::vector<std::string> firstRanges;
    for (int i = 0; i < http_pieces::kPieceCount; ++i)
        firstRanges.push_back("GET bytes=" + http_pieces::PieceRange(kSampleSize, i));
    EXPECT_EQ(Sorted(last), Sorted(firstRanges));
}

TEST(MultiDlCommand, AStateFileThatIsTornIsDiscardedNotTrusted) {
    fixtures::ScratchFolder folder;
    std::string path = folder.Path("package.exe");
    for (const char* torn : {"piece 0\n", "piece 0 0\n", "piece\n", "piece 0 0 \n",
                             "piece 0 0 1000003\n", "piece 0 0 1000003 1000004\n"}) {
        SCOPED_TRACE(torn);
        std::string url = NginxUrl("pattern.1000003");
        ASSERT_TRUE(http_test::WriteWholeFile(
            http_pieces::StateName(path),
            "url " + url + "\nsize 1000003\nvalidator etag \"x\"\n" + torn + "end\n"));
        Outcome outcome = DownloadTo(folder, "package.exe", url, kSampleSize);
        EXPECT_EQ(outcome.success, 1);
        EXPECT_TRUE(outcome.content == PatternBytes(kSampleSize));
        EXPECT_TRUE(outcome.leftovers.empty());
    }
}

// Files of the layout that kept each piece in a file of its own are nobody's: they go.
TEST(MultiDlCommand, PieceFilesOfTheEarlierLayoutAreDeletedWhenFound) {
    fixtures::ScratchFolder folder;
    std::string path = folder.Path("package.exe");
    std::string url = NginxUrl("pattern.1000003");
    for (const char* suffix : {".tmp_0", ".tmp_4", ".tmp_63"})
        ASSERT_TRUE(http_test::WriteWholeFile(path + suffix, std::string(1000, 'x')));
    ASSERT_TRUE(http_test::WriteWholeFile(http_pieces::StateName(path),
                                          "url " + url +
                                              "\nsize 1000003\nvalidator etag \"x\"\npiece 0 0 "
                                              "1000003\nend\n"));
    Outcome outcome = DownloadTo(folder, "package.exe", url, kSampleSize);
    EXPECT_EQ(outcome.success, 1);
    EXPECT_TRUE(outcome.content == PatternBytes(kSampleSize));
    EXPECT_TRUE(outcome.leftovers.empty());
}

// A download stopped while its pieces come: the state it leaves trusts only bytes that the
// partial file holds, and the next download fetches only the rest.
TEST(MultiDlCommand, AStoppedDownloadsStateTrustsOnlyWhatThePartialFileHolds) {
    fixtures::ScratchFolder folder;
    std::string path = folder.Path("package.exe");
    std::string key = http_test::UniqueKey();
    std::string url = FaultUrl("/files/pattern.8000000?key=" + key + "&etag=v1&rate=400000");
    {
        RecordingOwner owner;
        int taskId = 0;
        ASSERT_EQ(owner.Download(url, path, &taskId, kLargeSize), 1);
        platform::SleepMilliseconds(3500);
    }  // the engine shuts down with the pieces half done
    http_pieces::PieceState state;
    ASSERT_TRUE(http_pieces::ReadPieceState(path, state));
    std::string partial;
    ASSERT_TRUE(http_test::ReadWholeFile(http_pieces::PartialNameFor(path), partial));
    ASSERT_EQ(partial.size(), kLargeSize);
    const std::string file = PatternBytes(kLargeSize);
    uint64_t held = 0;
    for (const http_pieces::PieceSpan& piece : state.pieces) {
        EXPECT_TRUE(partial.compare(piece.start, piece.held, file, piece.start, piece.held) == 0)
            << "piece " << piece.index;
        held += piece.held;
    }
    EXPECT_GT(held, 0u);
    EXPECT_LT(held, kLargeSize);
    size_t answered = http_test::RecordedRequests(key).size();

    Outcome second = DownloadTo(folder, "package.exe", url, kLargeSize);
    EXPECT_EQ(second.success, 1);
    EXPECT_TRUE(second.content == file);
    EXPECT_TRUE(second.leftovers.empty());
    std::vector<std::string> requests = http_test::RecordedRequests(key);
    requests.erase(requests.begin(), requests.begin() + static_cast<long>(answered));
    ASSERT_FALSE(requests.empty());
    EXPECT_EQ(requests.front(), "HEAD -");
    // Every piece that was not whole continues after what the state trusted.
    for (const http_pieces::PieceSpan& piece : state.pieces) {
        if (piece.held == piece.length)
            continue;
        std::string resumed = "GET bytes=" + std::to_string(piece.start + piece.held) + "-";
        EXPECT_EQ(CountStartingWith(requests, resumed), 1) << resumed;
    }
}

TEST(MultiDlCommand, ManyDownloadsAtOnceAllArriveAFewAtATime) {
    constexpr int kDownloads = 120;
    fixtures::ScratchFolder folder;
    std::string key = http_test::UniqueKey();
    RecordingOwner owner;
    for (int i = 0; i < kDownloads; ++i) {
        int taskId = 0;
        ASSERT_EQ(owner.Download(SampleUrl(key), folder.Path("p" + std::to_string(i) + ".exe"),
                                 &taskId, kSampleSize),
                  1);
    }
    ASSERT_TRUE(owner.WaitForResults(kDownloads, std::chrono::seconds(600)));
    int succeeded = 0;
    for (const RecordingOwner::Event& event : owner.Events())
        succeeded += event.kind == RecordingOwner::Event::kDownload && event.success == 1;
    EXPECT_EQ(succeeded, kDownloads);
    // Four downloads of five connections each at the most.
    EXPECT_LE(std::stoi(http_test::FaultServerText("/_peak?key=" + key)), 20);
    EXPECT_EQ(folder.Names().size(), static_cast<size_t>(kDownloads));
}

#ifdef _WIN32
TEST(MultiDlCommand, ADestinationInUseFailsAtOnceAndKeepsTheEarlierFile) {
    fixtures::ScratchFolder folder;
    std::string path = folder.Path("package.exe");
    const std::string earlier = http_test::GeneratedText(1000);
    ASSERT_TRUE(http_test::WriteWholeFile(path, earlier));
    // As a running installer holds its file: others may read it, but not replace it.
    HANDLE held = CreateFileW(ToWidePath(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    std::string key = http_test::UniqueKey();
    Outcome outcome = DownloadTo(folder, "package.exe", SampleUrl(key), kSampleSize);
    CloseHandle(held);
    EXPECT_EQ(outcome.success, 0);
    EXPECT_TRUE(outcome.content == earlier);
    EXPECT_TRUE(outcome.leftovers.empty());
    EXPECT_TRUE(http_test::RecordedRequests(key).empty());
    EXPECT_LT(outcome.seconds, 5.0);
}
#endif

// A file of 8,000,000 bytes whose first range comes slowly: the pieces are 1.6 MB, and the
// others are done long before the first.

TEST(MultiDlCommand, ASlowRangeIsSplitAndItsRestFetchedBesideIt) {
    std::string key = http_test::UniqueKey();
    Outcome outcome =
        Download(FaultUrl("/files/pattern.8000000?key=" + key + "&first_rate=400000"), kLargeSize);
    EXPECT_EQ(outcome.success, 1);
    EXPECT_TRUE(outcome.content == PatternBytes(kLargeSize));
    EXPECT_TRUE(outcome.leftovers.empty());
    std::vector<std::string> requests = http_test::RecordedRequests(key);
    ASSERT_GE(requests.size(), 6u);
    // A helper asked for a range that starts inside the first piece's.
    uint32_t firstEnd = http_pieces::PieceLength(kLargeSize, 0);
    bool inside = std::any_of(requests.begin(), requests.end(), [&](const std::string& line) {
        uint64_t start = std::strtoull(line.c_str() + std::strlen("GET bytes="), nullptr, 10);
        return start > 0 && start < firstEnd;
    });
    EXPECT_TRUE(inside);
    EXPECT_LE(std::stoi(http_test::FaultServerText("/_peak?key=" + key)), 5);
    ASSERT_FALSE(outcome.progress.empty());
    EXPECT_TRUE(std::is_sorted(outcome.progress.begin(), outcome.progress.end()));
    EXPECT_DOUBLE_EQ(outcome.progress.back(), 1.0);
}

TEST(MultiDlCommand, APieceIsNotSplitBelowTheMinimumBeforeItsPaceIsKnown) {
    // Pieces of 800,000 bytes: the slow one never has more than the minimum left, and the
    // others end before its pace tells that it is slow.
    std::string key = http_test::UniqueKey();
    Outcome outcome =
        Download(FaultUrl("/files/pattern.4000000?key=" + key + "&first_rate=400000"), 4000000);
    EXPECT_EQ(outcome.success, 1);
    EXPECT_TRUE(outcome.content == PatternBytes(4000000));
    EXPECT_EQ(http_test::RecordedRequests(key).size(), 5u);
}

// The same pieces, the others at 1 MB/s: when they end, the slow one has 640,000 bytes left at
// 200,000 bytes a second, and a helper takes most of them.
TEST(MultiDlCommand, ASlowPieceWithLessThanTheMinimumLeftIsHelpedAtItsPace) {
    std::string key = http_test::UniqueKey();
    Outcome outcome = Download(
        FaultUrl("/files/pattern.4000000?key=" + key + "&first_rate=200000&rate=1000000"), 4000000);
    EXPECT_EQ(outcome.success, 1);
    EXPECT_TRUE(outcome.content == PatternBytes(4000000));
    std::vector<std::string> requests = http_test::RecordedRequests(key);
    ASSERT_GE(requests.size(), 6u);
    // The helper's range starts before the middle of the slow piece: a split into halves of
    // what is left would start past it.
    uint64_t latest = 0;
    for (const std::string& line : requests) {
        uint64_t start = std::strtoull(line.c_str() + std::strlen("GET bytes="), nullptr, 10);
        if (start < 800001)
            latest = std::max(latest, start);
    }
    EXPECT_GT(latest, 0u);
    EXPECT_LT(latest, 800001u / 2);
}

#ifndef _WIN32
// Links planted at the partial file, the state and the destination: the download replaces them
// with its own files, and the files they name keep what they held.
TEST(MultiDlCommand, LinksPlantedAtThePiecesAndTheDestinationAreNotWrittenThrough) {
    fixtures::ScratchFolder folder;
    std::string victim = folder.Path("victim");
    std::FILE* file = platform::OpenStdioFile(victim, "wb");
    ASSERT_NE(file, nullptr);
    std::fputs("victim's own", file);
    std::fclose(file);
    std::string destination = folder.Path("package.exe");
    std::vector<std::string> links{destination, http_pieces::PartialNameFor(destination),
                                   http_pieces::StateName(destination),
                                   http_pieces::NewStateName(destination)};
    for (const std::string& link : links)
        std::filesystem::create_symlink(victim, link);

    Outcome outcome = DownloadTo(folder, "package.exe", NginxUrl("pattern.1000003"), kSampleSize);
    EXPECT_EQ(outcome.success, 1);
    EXPECT_TRUE(outcome.content == PatternBytes(kSampleSize));
    EXPECT_FALSE(std::filesystem::is_symlink(destination));
    EXPECT_EQ(outcome.leftovers, std::vector<std::string>{"victim"});
    std::string kept;
    ASSERT_TRUE(http_test::ReadWholeFile(victim, kept));
    EXPECT_EQ(kept, "victim's own");
}
#endif

// A user folder outside the ANSI code page: the path travels in UTF-8 and the file lands in
// exactly that folder, not in a best-fit look-alike ("Lukasz") nor nowhere ("????").
TEST(MultiDlCommand, PathsOutsideTheAnsiCodePageAreKeptWhole) {
    fixtures::ScratchFolder folder;
    const std::wstring first = L"\u0141ukasz";
    const std::wstring second = L"\u0416\u0435\u043d\u044f";
    const std::wstring file = second + L".exe";
    const std::wstring separator(1, platform::kPathSeparator);
    std::wstring relative = first + separator + second + separator + file;
    std::string name = ToNarrowPath(relative);
    ASSERT_FALSE(name.empty());
    EXPECT_EQ(ToWidePath(name), relative);

    Outcome outcome = DownloadTo(folder, name, NginxUrl("pattern.1000003"), kSampleSize);
    EXPECT_EQ(outcome.success, 1);
    EXPECT_TRUE(outcome.content == PatternBytes(kSampleSize));
    std::filesystem::path target = http_test::FileSystemPath(folder.Path(name));
    EXPECT_TRUE(std::filesystem::is_regular_file(target));
    // Nothing else was made: no piece left, no look-alike folder beside the right one.
    EXPECT_EQ(outcome.leftovers, std::vector<std::string>{ToNarrowPath(first)});
    std::vector<std::string> inside;
    for (const auto& entry : std::filesystem::directory_iterator(target.parent_path()))
        inside.push_back(http_test::NarrowName(entry.path().filename()));
    EXPECT_EQ(inside, std::vector<std::string>{ToNarrowPath(file)});
}

TEST(MultiDlCommand, UnwritableDestinationFailsWithoutTouchingTheServerTwice) {
    fixtures::ScratchFolder folder;
    // A file where the destination's folder should be: the folder cannot be created.
    std::FILE* blocker = platform::OpenStdioFile(folder.Path("blocker"), "wb");
    ASSERT_NE(blocker, nullptr);
    std::fclose(blocker);
    std::string key = http_test::UniqueKey();
    std::string name =
        std::string("blocker") + static_cast<char>(platform::kPathSeparator) + "p.exe";
    Outcome outcome = DownloadTo(folder, name, SampleUrl(key), kSampleSize);
    EXPECT_EQ(outcome.success, 0);
    EXPECT_FALSE(outcome.exists);
    EXPECT_EQ(outcome.leftovers, std::vector<std::string>{"blocker"});
    EXPECT_TRUE(http_test::RecordedRequests(key).empty());
}

// A path too long for the names beside it: the pieces write into a partial file of a short name,
// and nothing stays (without a state, nothing could be resumed).
TEST(MultiDlCommand, PathTooLongForTheNamesBesideItStillComesInPieces) {
    fixtures::ScratchFolder folder;
    std::string base = folder.Path("");
    ASSERT_LT(base.size(), 200u);
    std::string name = std::string(254 - ToWidePath(base).size(), 'n');
    std::string key = http_test::UniqueKey();
    Outcome outcome = DownloadTo(folder, name, SampleUrl(key), kSampleSize);
    EXPECT_EQ(outcome.success, 1);
    EXPECT_TRUE(outcome.content == PatternBytes(kSampleSize));
    EXPECT_TRUE(outcome.leftovers.empty());
    EXPECT_EQ(CountStartingWith(http_test::RecordedRequests(key), "GET bytes="), 5);
    EXPECT_EQ(http_test::RecordedRequests(key).size(), 5u);
}

TEST(MultiDlCommand, LongPathsGetPiecesUpTo253CharactersAndNeverLoseTheEarlierFile) {
    fixtures::ScratchFolder folder;
    size_t base = ToWidePath(folder.Path("")).size();
    ASSERT_LT(base, 200u);
    {
        SCOPED_TRACE("252 characters: five pieces");
        std::string key = http_test::UniqueKey();
        Outcome outcome =
            DownloadTo(folder, std::string(252 - base, 'p'), SampleUrl(key), kSampleSize);
        EXPECT_EQ(outcome.success, 1);
        EXPECT_TRUE(outcome.content == PatternBytes(kSampleSize));
        EXPECT_EQ(CountStartingWith(http_test::RecordedRequests(key), "GET bytes="), 5);
        platform::DeletePath(ToWidePath(folder.Path(std::string(252 - base, 'p'))));
    }
    for (size_t length : {253u, 258u}) {
        SCOPED_TRACE(std::to_string(length) + " characters, a failing server");
        std::string name(length - base, 'q');
        const std::string earlier = http_test::GeneratedText(5000);
        ASSERT_TRUE(http_test::WriteWholeFile(folder.Path(name), earlier));
        Outcome outcome =
            DownloadTo(folder, name, SampleUrl(http_test::UniqueKey(), "status=500"), kSampleSize);
        EXPECT_EQ(outcome.success, 0);
        EXPECT_TRUE(outcome.content == earlier);
        EXPECT_TRUE(outcome.leftovers.empty());
        platform::DeletePath(ToWidePath(folder.Path(name)));
    }
}

TEST(MultiDlCommandSlow, ASplitWhoseHelperFailsFallsBackToOneStream) {
    // The first range comes slowly and is split; every ranged answer after the five first ones
    // (the helpers') breaks off, so the helpers' pieces fail, and the stream fetches the file.
    std::string key = http_test::UniqueKey();
    Outcome outcome = Download(FaultUrl("/files/pattern.8000000?key=" + key +
                                        "&first_rate=1000000&on=ranged&after=5&close_at=1000"),
                               kLargeSize);
    EXPECT_EQ(outcome.success, 1);
    EXPECT_TRUE(outcome.content == PatternBytes(kLargeSize));
    EXPECT_TRUE(outcome.leftovers.empty());
    std::vector<std::string> requests = http_test::RecordedRequests(key);
    // The five first ranges, then two tries of each helper: how many helpers there were depends
    // on how far the other pieces were when the first was done.
    int ranged = CountStartingWith(requests, "GET bytes=");
    EXPECT_GE(ranged, 7);
    EXPECT_EQ((ranged - 5) % 2, 0);
    EXPECT_EQ(CountStartingWith(requests, "GET -"), 1);
}

TEST(MultiDlCommandSlow, StalledPieceIsAbortedAndTriedAgain) {
    std::string key = http_test::UniqueKey();
    Outcome outcome = Download(SampleUrl(key, "on=ranged&times=1&stall=40"), kSampleSize);
    EXPECT_EQ(outcome.success, 1);
    EXPECT_TRUE(outcome.content == PatternBytes(kSampleSize));
    EXPECT_GE(outcome.seconds, 15.0);
    EXPECT_LT(outcome.seconds, 25.0);
    EXPECT_EQ(CountStartingWith(http_test::RecordedRequests(key), "GET bytes="), 6);
}

TEST(MultiDlCommandSlow, PiecesStalledTwiceFallBackToOneStream) {
    std::string key = http_test::UniqueKey();
    Outcome outcome = Download(SampleUrl(key, "on=ranged&stall=60"), kSampleSize);
    EXPECT_EQ(outcome.success, 1);
    EXPECT_TRUE(outcome.content == PatternBytes(kSampleSize));
    EXPECT_TRUE(outcome.leftovers.empty());
    EXPECT_GE(outcome.seconds, 30.0);
    EXPECT_LT(outcome.seconds, 45.0);
    std::vector<std::string> requests = http_test::RecordedRequests(key);
    EXPECT_EQ(CountStartingWith(requests, "GET bytes="), 10);
    EXPECT_EQ(CountStartingWith(requests, "GET -"), 1);
}

TEST(MultiDlCommandSlow, ServerThatNeverAcceptsEndsInAFailure) {
    // No expected size: the probe, then both stream tries, each cut by the connect time-out.
    Outcome outcome = Download(http_test::BlackholeUrl(), 0);
    EXPECT_EQ(outcome.success, 0);
    EXPECT_GE(outcome.seconds, 29.0);
    EXPECT_LT(outcome.seconds, 40.0);
}

}  // namespace
