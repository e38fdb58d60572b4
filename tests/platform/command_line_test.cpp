// The splitter must follow the Windows rules exactly: on Windows these cases run against the
// system's own splitter, on Linux against ours.
#include "platform/command_line.h"

#include <gtest/gtest.h>

namespace {

std::vector<std::wstring> Split(const std::wstring& line) {
    std::vector<std::wstring> arguments;
    EXPECT_TRUE(platform::SplitCommandLine(line, arguments));
    return arguments;
}

using Args = std::vector<std::wstring>;

TEST(SplitCommandLine, FirstTokenFollowsTheProgramNameRule) {
    EXPECT_EQ(Split(L"-action:check -x"), (Args{L"-action:check", L"-x"}));
    // No escapes in the first token; a quoted run ends at the next quote.
    EXPECT_EQ(Split(L"a\\\"b c"), (Args{L"a\\\"b", L"c"}));
    EXPECT_EQ(Split(L"\"C:\\Program Files\\x.exe\" -a"),
              (Args{L"C:\\Program Files\\x.exe", L"-a"}));
    EXPECT_EQ(Split(L"\"a b\"c d"), (Args{L"a b", L"c", L"d"}));
    EXPECT_EQ(Split(L" -a"), (Args{L"", L"-a"}));
}

TEST(SplitCommandLine, BackslashesAndQuotes) {
    EXPECT_EQ(Split(L"p a\\\\b"), (Args{L"p", L"a\\\\b"}));
    EXPECT_EQ(Split(L"p a\\\\\"b c\""), (Args{L"p", L"a\\b c"}));
    EXPECT_EQ(Split(L"p a\\\\\\\"b"), (Args{L"p", L"a\\\"b"}));
    EXPECT_EQ(Split(L"p \"a b\\\\\""), (Args{L"p", L"a b\\"}));
    EXPECT_EQ(Split(L"p \"\""), (Args{L"p", L""}));
    EXPECT_EQ(Split(L"p \t x  "), (Args{L"p", L"x"}));
}

TEST(SplitCommandLine, DoubledQuotesInsideAQuotedRun) {
    // A doubled quote inside a quoted run gives one quote and ends the run.
    EXPECT_EQ(Split(L"p \"a\"\"b c\""), (Args{L"p", L"a\"b", L"c"}));
    EXPECT_EQ(Split(L"p \"\"\"a b\""), (Args{L"p", L"\"a", L"b"}));
    EXPECT_EQ(Split(L"p \"\"\"\"a b\""), (Args{L"p", L"\"a b"}));
}

}  // namespace
