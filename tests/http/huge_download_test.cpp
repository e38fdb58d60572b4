// A package of 4.5 GiB and 3 bytes: five ranges with 64-bit bounds, a resume across two runs
// whose state names spans beyond 4 GiB, and a whole file, on both targets. The file on the
// server is sparse with a mark every 64 MiB, so the case costs little but the disk writes, and
// a piece in a wrong place moves a mark.
#include <gtest/gtest.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <string>
#include <vector>

#include "http/download_pieces.h"
#include "support/test_servers.h"

namespace {

constexpr uint64_t kHugeSize = 4831838211ull;
constexpr uint64_t kMarkEvery = 64ull << 20;
constexpr size_t kMarkBytes = 16;

// As tools/test_servers.py writes them: the offset, 15 digits after an '@'.
std::string MarkAt(uint64_t offset) {
    char mark[kMarkBytes + 1];
    std::snprintf(mark, sizeof(mark), "@%015" PRIu64, offset);
    return std::string(mark, kMarkBytes);
}

// The marks of the file at `path` that are not where they belong, as "offset: found" lines.
std::vector<std::string> MisplacedMarks(const std::string& path) {
    std::vector<std::string> wrong;
    std::FILE* file = platform::OpenStdioFile(path, "rb");
    if (file == nullptr)
        return {"cannot open " + path};
    std::vector<uint64_t> offsets;
    for (uint64_t offset = 0; offset < kHugeSize - kMarkBytes; offset += kMarkEvery)
        offsets.push_back(offset);
    offsets.push_back(kHugeSize - kMarkBytes);
    for (uint64_t offset : offsets) {
        char found[kMarkBytes] = {};
#ifdef _WIN32
        bool read = _fseeki64(file, static_cast<int64_t>(offset), SEEK_SET) == 0;
#else
        bool read = fseeko(file, static_cast<off_t>(offset), SEEK_SET) == 0;
#endif
        read = read && std::fread(found, 1, kMarkBytes, file) == kMarkBytes;
        if (!read || std::string(found, kMarkBytes) != MarkAt(offset))
            wrong.push_back(std::to_string(offset) + ": " + std::string(found, kMarkBytes));
    }
    std::fclose(file);
    return wrong;
}

int CountStartingWith(const std::vector<std::string>& lines, const std::string& prefix) {
    return static_cast<int>(std::count_if(lines.begin(), lines.end(), [&](const std::string& line) {
        return line.compare(0, prefix.size(), prefix) == 0;
    }));
}

int DownloadOnce(const std::string& url, const std::string& path) {
    http_test::RecordingOwner owner;
    int taskId = 0;
    EXPECT_EQ(owner.Download(url, path, &taskId, kHugeSize), 1);
    EXPECT_TRUE(owner.WaitForResults(1, std::chrono::seconds(1500)));
    return owner.ResultOf(taskId).success;
}

TEST(MultiDlCommandHuge, AFileBeyondFourGibibytesComesInFivePiecesAndResumes) {
    fixtures::ScratchFolder folder;
    std::string path = folder.Path("package.exe");
    std::string key = http_test::UniqueKey();
    // The first run: every connection breaks off after 64 MiB, the pieces' two tries and the
    // stream's; the pieces keep 128 MiB each, with their state.
    constexpr uint64_t kCut = 64ull << 20;
    std::string url =
        http_test::FaultUrl("/files/sparse.4831838211?key=" + key +
                            "&etag=huge&on=get&times=12&close_at=" + std::to_string(kCut));
    EXPECT_EQ(DownloadOnce(url, path), 0);
    std::vector<std::string> requests = http_test::RecordedRequests(key);
    ASSERT_EQ(requests.size(), 12u);
    std::vector<std::string> firstRanges;
    for (int i = 0; i < http_pieces::kPieceCount; ++i)
        firstRanges.push_back("GET bytes=" + http_pieces::PieceRange(kHugeSize, i));
    EXPECT_EQ(firstRanges.back(), "GET bytes=3865470569-4831838211");
    for (const std::string& range : firstRanges)
        EXPECT_EQ(std::count(requests.begin(), requests.end(), range), 1) << range;

    http_pieces::PieceState state;
    ASSERT_TRUE(http_pieces::ReadPieceState(path, state));
    EXPECT_EQ(state.size, kHugeSize);
    ASSERT_EQ(state.pieces.size(), 5u);
    EXPECT_EQ(state.pieces[4].start + state.pieces[4].length, kHugeSize);
    for (const http_pieces::PieceSpan& piece : state.pieces)
        EXPECT_EQ(piece.held, 2 * kCut);
    EXPECT_EQ(http_pieces::FileLengthOf(http_pieces::PartialNameFor(path)), kHugeSize);

    // The second run: the validator holds, every piece continues past its 128 MiB (pieces done
    // early help the others with ranges of their own), and the file is joined whole without a
    // stream.
    EXPECT_EQ(DownloadOnce(url, path), 1);
    requests = http_test::RecordedRequests(key);
    requests.erase(requests.begin(), requests.begin() + 12);
    ASSERT_FALSE(requests.empty());
    EXPECT_EQ(requests.front(), "HEAD -");
    for (const http_pieces::PieceSpan& piece : http_pieces::FirstPieces(kHugeSize)) {
        std::string resumed = "GET bytes=" + std::to_string(piece.start + 2 * kCut) + "-" +
                              std::to_string(piece.start + piece.length - 1);
        EXPECT_EQ(std::count(requests.begin(), requests.end(), resumed), 1) << resumed;
    }
    EXPECT_EQ(CountStartingWith(requests, "GET bytes="), static_cast<int>(requests.size()) - 1);
    EXPECT_EQ(http_pieces::FileLengthOf(path), kHugeSize);
    EXPECT_EQ(MisplacedMarks(path), std::vector<std::string>{});
    EXPECT_EQ(folder.Names(), std::vector<std::string>{"package.exe"});
}

}  // namespace
