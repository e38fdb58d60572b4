// The statistics record byte for byte, as the maker's library reads it.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "diagnostics/stat_report.h"
#include "diagnostics/statistics.h"

namespace {

int32_t ReadInt32(const std::vector<uint8_t>& bytes, size_t offset) {
    // Little-endian whatever the host, as the library expects.
    return static_cast<int32_t>(uint32_t(bytes[offset]) | uint32_t(bytes[offset + 1]) << 8 |
                                uint32_t(bytes[offset + 2]) << 16 |
                                uint32_t(bytes[offset + 3]) << 24);
}

TEST(StatReport, OneEventLaysOutEveryFieldAtItsOffset) {
    StatReport report;
    std::memset(&report, 0xAB, sizeof(report));  // nothing may be left from before
    MakeStatReport(report, 2800233, 0, 101, 42, 2);
    std::vector<uint8_t> bytes(sizeof(report));
    std::memcpy(bytes.data(), &report, sizeof(report));

    ASSERT_EQ(bytes.size(), 192u);
    EXPECT_EQ(ReadInt32(bytes, 0), 2);  // kind
    for (size_t offset = 4; offset < 132; ++offset)
        EXPECT_EQ(bytes[offset], 0) << "offset " << offset;
    EXPECT_EQ(ReadInt32(bytes, 132), 0);    // second
    EXPECT_EQ(ReadInt32(bytes, 136), 101);  // appid
    EXPECT_EQ(ReadInt32(bytes, 140), 42);   // pid
    EXPECT_EQ(ReadInt32(bytes, 144), 0);
    EXPECT_EQ(ReadInt32(bytes, 148), 0);
    EXPECT_EQ(ReadInt32(bytes, 152), 50012);    // category of a failed download
    EXPECT_EQ(ReadInt32(bytes, 156), 2800233);  // event id
    EXPECT_EQ(ReadInt32(bytes, 160), 3);
    EXPECT_EQ(ReadInt32(bytes, 164), 0);
    // The empty wide string object: a zeroed inline buffer, length 0, capacity 7.
    for (size_t offset = 168; offset < 184; ++offset)
        EXPECT_EQ(bytes[offset], 0) << "offset " << offset;
    EXPECT_EQ(ReadInt32(bytes, 184), 0);
    EXPECT_EQ(ReadInt32(bytes, 188), 7);
}

TEST(StatReport, AbsentNumbersAreMinusOne) {
    StatReport report;
    MakeStatReport(report, 2800267, 0, -1, -1, 2);
    EXPECT_EQ(report.appid, -1);
    EXPECT_EQ(report.pid, -1);
    EXPECT_EQ(report.category, 50010);
}

}  // namespace
