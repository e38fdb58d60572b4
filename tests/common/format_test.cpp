#include "common/format.h"

#include <gtest/gtest.h>

#include "base/utf8.h"
#include "common/number.h"
#include "common/text.h"

namespace {

TEST(FormatWide, StringConversionsTakeWideTextOnBothTargets) {
    EXPECT_EQ(FormatWide(L"CmdLine:[%s]", L"-action:check"), L"CmdLine:[-action:check]");
    EXPECT_EQ(FormatWide(L"[%5s|%-5s|%.2s]", L"ab", L"cd", L"efgh"), L"[   ab|cd   |ef]");
    EXPECT_EQ(FormatWide(L"%s", static_cast<const wchar_t*>(nullptr)), L"(null)");
    EXPECT_EQ(FormatWide(L"%c%c", L'\u6b63', L'x'), L"\u6b63x");
    EXPECT_EQ(FormatWide(L"%s : %2d%%", L"\u6b63\u5728", 7), L"\u6b63\u5728 :  7%");
}

TEST(FormatWide, NumberConversionsMatchPrintf) {
    EXPECT_EQ(FormatWide(L"%04d%02d%02d_%03d", 2024, 1, 31, 5), L"20240131_005");
    EXPECT_EQ(FormatWide(L"%d %d %u", -1, 2147483647, 4294967295u), L"-1 2147483647 4294967295");
    EXPECT_EQ(FormatWide(L"%lu %ld", 404ul, -7l), L"404 -7");
    EXPECT_EQ(FormatWide(L"%.2f, %.2f", 1000003.0, 0.5), L"1000003.00, 0.50");
    EXPECT_EQ(FormatWide(L"%02x%02x", 0xab, 0x1), L"ab01");
    EXPECT_EQ(FormatWide(L"%lld %I64d", 1LL << 40, 5LL), L"1099511627776 5");
    EXPECT_EQ(FormatWide(L"%*d|%-*d|", 4, 1, 3, 2), L"   1|2  |");
}

TEST(FormatWide, PercentSignsAndIncompleteConversions) {
    EXPECT_EQ(FormatWide(L"100%%"), L"100%");
    EXPECT_EQ(FormatWide(L"tail %"), L"tail %");
    EXPECT_EQ(FormatWide(L"%q stays"), L"%q stays");
}

TEST(FormatBounded, CutsToTheBufferAndTerminates) {
    wchar_t buffer[8];
    EXPECT_EQ(FormatBounded(buffer, 8, L"%s", L"0123456789"), 7u);
    EXPECT_STREQ(buffer, L"0123456");
    EXPECT_EQ(FormatCut(260, L"%s", std::wstring(300, L'x').c_str()).size(), 259u);
    EXPECT_EQ(FormatCut(1, L"abc"), L"");
}

TEST(ToInt32OrMinusOne, WholeTextMustBeOneDecimalNumber) {
    EXPECT_EQ(ToInt32OrMinusOne(L"101"), 101);
    EXPECT_EQ(ToInt32OrMinusOne(L"-42"), -42);
    EXPECT_EQ(ToInt32OrMinusOne(L"+7"), 7);
    EXPECT_EQ(ToInt32OrMinusOne(L"2147483647"), 2147483647);
    for (const wchar_t* bad : {L"", L"12x", L" 1", L"1 ", L"2147483648", L"0x10", L"1.0", L"-"}) {
        EXPECT_EQ(ToInt32OrMinusOne(bad), -1) << bad;
        int value = 0;
        EXPECT_FALSE(TryToInt32(bad, value)) << bad;
    }
    // The number -1 converts: a caller can tell it from a text that is not a number.
    int value = 0;
    EXPECT_TRUE(TryToInt32(L"-1", value));
    EXPECT_EQ(value, -1);
    EXPECT_TRUE(TryToInt32(L"-2147483648", value));
    EXPECT_EQ(value, -2147483647 - 1);
}

TEST(TextConversion, NarrowRoundTripAndAsciiCase) {
    EXPECT_EQ(ToWide(ToNarrow(L"http://127.0.0.1/x?a=1|b")), L"http://127.0.0.1/x?a=1|b");
    EXPECT_EQ(ToLowerAscii(L"PALLATON.EXE \u00c4"), L"pallaton.exe \u00c4");
    EXPECT_TRUE(EndsWithIgnoreCaseAscii(L"C:\\a\\PALLATON.exe", L"pallaton.exe"));
    EXPECT_FALSE(EqualsIgnoreCaseAscii(L"abc", L"abcd"));
#ifndef _WIN32
    // Linux: the narrow code page is UTF-8; bytes that do not decode are carried reversibly and
    // the text around them is kept (an argument such as "-nickname:h\xe9" keeps its name and the
    // rest of its value).
    EXPECT_EQ(ToNarrow(L"\u6b63"), "\xe6\xad\xa3");
    EXPECT_EQ(ToWide("\xe6\xad"), L"\xdce6\xdcad");
    EXPECT_EQ(ToNarrow(ToWide("\xc0\xaf")), "\xc0\xaf");
    EXPECT_EQ(ToWide("-nickname:h\xe9 x\xe6\xad\xa3"), L"-nickname:h\xdce9 x\u6b63");
    // Strict decoding still refuses such text; the replacing one keeps the rest.
    std::wstring strict;
    EXPECT_FALSE(utf8::Decode("h\xe9", strict));
    EXPECT_TRUE(utf8::Decode("h\xe9", strict, true));
    EXPECT_EQ(strict, L"h\ufffd");
#endif
}

}  // namespace
