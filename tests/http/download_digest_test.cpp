// A download given the file's digest, against a fault server that answers as two origins behind a
// balancer: other validators for the same bytes, or for other bytes.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "common/file_digest.h"
#include "common/md5.h"
#include "support/test_servers.h"

namespace {

using http_test::PatternBytes;
using http_test::RecordingOwner;

constexpr uint32_t kSampleSize = 1000003;

std::string DigestOf(const std::string& bytes) {
    MD5_CTX md5;
    md5.MD5Update(reinterpret_cast<const unsigned char*>(bytes.data()),
                  static_cast<unsigned int>(bytes.size()));
    unsigned char digest[16];
    md5.MD5Final(digest);
    return ToNarrow(Md5DigestToText(digest));
}

struct Outcome {
    int success = -1;
    std::string content;
    std::vector<std::string> leftovers;  // files in the folder besides the destination
    int pieceRequests = 0;
    int streamRequests = 0;
    std::vector<std::string> requests;  // all of the key's, also those of earlier downloads
};

Outcome DownloadTo(const fixtures::ScratchFolder& folder, const std::string& faults,
                   const std::string& md5, std::string key = http_test::UniqueKey()) {
    std::string url = http_test::FaultUrl("/files/pattern.1000003?key=" + key + "&" + faults);
    RecordingOwner owner;
    std::string path = folder.Path("package.exe");
    int taskId = 0;
    Outcome outcome;
    EXPECT_EQ(owner.Download(url, path, &taskId, kSampleSize, md5), 1);
    EXPECT_TRUE(owner.WaitForResults(1, std::chrono::seconds(60)));
    outcome.success = owner.ResultOf(taskId).success;
    http_test::ReadWholeFile(path, outcome.content);
    for (const std::string& each : folder.Names()) {
        if (each != "package.exe")
            outcome.leftovers.push_back(each);
    }
    outcome.requests = http_test::RecordedRequests(key);
    for (const std::string& request : outcome.requests) {
        outcome.pieceRequests += request.rfind("GET bytes=", 0) == 0 ? 1 : 0;
        outcome.streamRequests += request == "GET -" ? 1 : 0;
    }
    return outcome;
}

Outcome Download(const std::string& faults, const std::string& md5) {
    fixtures::ScratchFolder folder;
    return DownloadTo(folder, faults, md5);
}

TEST(DownloadDigest, PiecesWithOtherValidatorsForTheSameBytesGiveTheFileWithoutAStream) {
    // Odd requests get one ETag and Last-Modified, even ones another: five pieces, no repeat.
    Outcome outcome = Download("alternate=validators", DigestOf(PatternBytes(kSampleSize)));
    EXPECT_EQ(outcome.success, 1);
    EXPECT_TRUE(outcome.content == PatternBytes(kSampleSize));
    EXPECT_TRUE(outcome.leftovers.empty());
    EXPECT_EQ(outcome.pieceRequests, http_pieces::kPieceCount);
    EXPECT_EQ(outcome.streamRequests, 0);

    // Without a digest to judge, another validator still means another file: the pieces are
    // discarded (how many were asked before the disagreement shows depends on timing) and the
    // stream fetches the file.
    Outcome blind = Download("alternate=validators", "");
    EXPECT_EQ(blind.success, 1);
    EXPECT_TRUE(blind.content == PatternBytes(kSampleSize));
    EXPECT_GE(blind.pieceRequests, 2);
    EXPECT_EQ(blind.streamRequests, 1);
}

TEST(DownloadDigest, PiecesOfTwoFilesAreRefusedAndTheStreamsFileIsJudgedTheSameWay) {
    // Requests 2 and 4 (pieces) and 6 (the stream's first try) get the other origin's bytes:
    // the assembled file and the first stream are refused, the second stream is the file.
    Outcome outcome = Download("alternate=bytes", DigestOf(PatternBytes(kSampleSize)));
    EXPECT_EQ(outcome.success, 1);
    EXPECT_TRUE(outcome.content == PatternBytes(kSampleSize));
    EXPECT_TRUE(outcome.leftovers.empty());
    EXPECT_EQ(outcome.pieceRequests, http_pieces::kPieceCount);
    EXPECT_EQ(outcome.streamRequests, 2);
}

TEST(DownloadDigest, AFileThatNeverMatchesTheDigestLeavesTheEarlierOneAsItWas) {
    fixtures::ScratchFolder folder;
    const std::string earlier = http_test::GeneratedText(kSampleSize);
    ASSERT_TRUE(http_test::WriteWholeFile(folder.Path("package.exe"), earlier));
    Outcome outcome = DownloadTo(folder, "alternate=validators", DigestOf(earlier));
    EXPECT_EQ(outcome.success, 0);
    EXPECT_TRUE(outcome.content == earlier);
    EXPECT_TRUE(outcome.leftovers.empty());
    EXPECT_EQ(outcome.pieceRequests, http_pieces::kPieceCount);
    EXPECT_EQ(outcome.streamRequests, 2);
}

TEST(DownloadDigest, AgreeingValidatorsLeaveTheContentToTheInstallCheck) {
    // One validator throughout: no digest is taken, so even a wrong one does not stop the file.
    Outcome outcome = Download("etag=v1", DigestOf("another file"));
    EXPECT_EQ(outcome.success, 1);
    EXPECT_TRUE(outcome.content == PatternBytes(kSampleSize));
    EXPECT_EQ(outcome.pieceRequests, http_pieces::kPieceCount);
    EXPECT_EQ(outcome.streamRequests, 0);
}

TEST(DownloadDigest, PiecesOfDisagreeingAnswersAreNotKeptForALaterDownload) {
    // Every connection breaks off after 50,000 bytes: the pieces and the stream fail. Their
    // validator no longer names one file, so no state trusts what the partial file holds.
    fixtures::ScratchFolder folder;
    Outcome outcome = DownloadTo(folder, "alternate=validators&close_at=50000",
                                 DigestOf(PatternBytes(kSampleSize)));
    EXPECT_EQ(outcome.success, 0);
    EXPECT_TRUE(outcome.leftovers.empty());
}

TEST(DownloadDigest, ResumedPiecesWhoseValidatorAnAnswerContradictsStartAfresh) {
    // The first download breaks off on every connection and keeps its pieces under ETag v1.
    // The next one's probe still sees v1, its ranged answers v2: the kept bytes are of another
    // version, so the download starts again with fresh pieces rather than let the digest judge.
    fixtures::ScratchFolder folder;
    std::string key = http_test::UniqueKey();
    std::string md5 = DigestOf(PatternBytes(kSampleSize));
    Outcome first =
        DownloadTo(folder, "etag=v1&close_at=50000&times=12&etag_change=13:v2", md5, key);
    EXPECT_EQ(first.success, 0);
    ASSERT_EQ(first.requests.size(), 12u);
    Outcome second =
        DownloadTo(folder, "etag=v1&close_at=50000&times=12&etag_change=13:v2", md5, key);
    EXPECT_EQ(second.success, 1);
    EXPECT_TRUE(second.content == PatternBytes(kSampleSize));
    EXPECT_TRUE(second.leftovers.empty());
    ASSERT_GE(second.requests.size(), 12u + 1u + 1u + http_pieces::kPieceCount);
    EXPECT_EQ(second.requests[12], "HEAD -");
    std::vector<std::string> last(second.requests.end() - http_pieces::kPieceCount,
                                  second.requests.end());
    std::vector<std::string> firstRanges;
    for (int i = 0; i < http_pieces::kPieceCount; ++i)
        firstRanges.push_back("GET bytes=" + http_pieces::PieceRange(kSampleSize, i));
    std::sort(last.begin(), last.end());
    std::sort(firstRanges.begin(), firstRanges.end());
    EXPECT_EQ(last, firstRanges);
}

}  // namespace
