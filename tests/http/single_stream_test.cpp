// The single stream through the engine against nginx and the fault server: the whole file in
// one stream where pieces cannot be had, its probe, its two tries and their judgement.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "download_outcome.h"
#include "platform/path.h"
#include "support/test_servers.h"

namespace {

using http_download_test::CountStartingWith;
using http_download_test::Download;
using http_download_test::DownloadTo;
using http_download_test::kSampleSize;
using http_download_test::Outcome;
using http_download_test::SampleUrl;
using http_test::NginxUrl;
using http_test::PatternBytes;

TEST(SingleStream, EmptyFileComesInOneStream) {
    Outcome outcome = Download(NginxUrl("pattern.0"), 0);
    EXPECT_EQ(outcome.success, 1);
    EXPECT_TRUE(outcome.exists);
    EXPECT_EQ(outcome.content, "");
}

TEST(SingleStream, UnknownLengthComesInOneStreamWithoutProgress) {
    std::string key = http_test::UniqueKey();
    Outcome outcome = Download(SampleUrl(key, "no_length=1"), 0);
    EXPECT_EQ(outcome.success, 1);
    EXPECT_TRUE(outcome.content == PatternBytes(kSampleSize));
    EXPECT_TRUE(outcome.progress.empty());
    EXPECT_EQ(http_test::RecordedRequests(key), (std::vector<std::string>{"HEAD -", "GET -"}));
}

TEST(SingleStream, ErrorPageIsAFailedDownloadNotTheFile) {
    for (const char* status : {"404", "500"}) {
        for (uint32_t expected : {kSampleSize, 0u}) {
            SCOPED_TRACE(std::string("status ") + status + ", expected size " +
                         std::to_string(expected));
            std::string key = http_test::UniqueKey();
            Outcome outcome = Download(SampleUrl(key, std::string("status=") + status), expected);
            EXPECT_EQ(outcome.success, 0);
            EXPECT_TRUE(outcome.leftovers.empty());
            // Both tries of the single stream were made.
            EXPECT_EQ(CountStartingWith(http_test::RecordedRequests(key), "GET -"), 2);
        }
    }
}

TEST(SingleStreamSlow, StalledSizeProbeIsAbortedAndTheStreamFetchesTheFile) {
    std::string key = http_test::UniqueKey();
    Outcome outcome = Download(SampleUrl(key, "on=head&stall=60"), 0);
    EXPECT_EQ(outcome.success, 1);
    EXPECT_TRUE(outcome.content == PatternBytes(kSampleSize));
    EXPECT_GE(outcome.seconds, 15.0);
    EXPECT_LT(outcome.seconds, 25.0);
    EXPECT_EQ(http_test::RecordedRequests(key), (std::vector<std::string>{"HEAD -", "GET -"}));
}

TEST(SingleStreamSlow, StalledStreamIsAbortedAndTriedAgain) {
    // A folder so deep that no partial file fits beside the destination sends the download
    // straight to the single stream, written in place.
    fixtures::ScratchFolder folder;
    std::string deep = std::string(257 - ToWidePath(folder.Path("")).size(), 'd');
    std::string name = deep + static_cast<char>(platform::kPathSeparator) + "s";
    ASSERT_EQ(ToWidePath(folder.Path(name)).size(), platform::kMaxPathChars - 1);
    ASSERT_TRUE(http_pieces::PartialNameFor(folder.Path(name)).empty());
    std::string key = http_test::UniqueKey();
    Outcome outcome =
        DownloadTo(folder, name, SampleUrl(key, "on=plain&times=1&stall=60"), kSampleSize);
    EXPECT_EQ(outcome.success, 1);
    EXPECT_TRUE(outcome.content == PatternBytes(kSampleSize));
    EXPECT_GE(outcome.seconds, 15.0);
    EXPECT_LT(outcome.seconds, 25.0);
    EXPECT_EQ(http_test::RecordedRequests(key), (std::vector<std::string>{"GET -", "GET -"}));
}

}  // namespace
