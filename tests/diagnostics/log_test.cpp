#include "diagnostics/log.h"

#include <gtest/gtest.h>

#include "diagnostics/statistics.h"

namespace {

#ifndef _WIN32
// The fallback when the log library is not loaded goes to the debug output, which is standard
// error on Linux (Wine shows none, so this runs natively only).
TEST(LogEmit, WithoutTheLibraryEachLineBecomesOneDebugLine) {
    testing::internal::CaptureStderr();
    logging::Emit(0, L"", L"TessaryMicroClient: hello\n", 50);
    logging::Emit(0, L"", L"again", 50);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "[kogame]get log module failed!\n[kogame]get log module failed!\n");
}
#endif

TEST(LogCut, NeverSplitsASurrogatePair) {
    // U+1F600 as the two halves it takes in UTF-16; the same code units on both targets.
    const std::wstring pair = {static_cast<wchar_t>(0xD83D), static_cast<wchar_t>(0xDE00)};
    std::wstring text = std::wstring(1021, L'a') + pair + L"tail";
    EXPECT_EQ(logging::CutText(text, 1022), std::wstring(1021, L'a'));
    EXPECT_EQ(logging::CutText(text, 1023), std::wstring(1021, L'a') + pair);
    EXPECT_EQ(logging::CutText(text, 1024), std::wstring(1021, L'a') + pair + L"t");
    EXPECT_EQ(logging::CutText(L"short", 1023), L"short");
    EXPECT_EQ(logging::CutText(pair, 1), L"");
}

TEST(StatisticCategory, EventsMapToTheirCategories) {
    EXPECT_EQ(StatisticCategory(2800233), 50012);
    EXPECT_EQ(StatisticCategory(2800268), 50012);
    EXPECT_EQ(StatisticCategory(2800044), 50008);
    EXPECT_EQ(StatisticCategory(2800275), 50010);
    EXPECT_EQ(StatisticCategory(0), 50010);
}

}  // namespace
