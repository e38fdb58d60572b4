#include "cmdline/cmd_line_parser.h"

#include <gtest/gtest.h>

#include "cmdline/vyn_cmd_checker.h"

namespace {

std::wstring Value(const CCmdLineParser& parser, const wchar_t* name) {
    std::wstring value = L"<absent>";
    parser.GetValue(name, value);
    return value;
}

TEST(CmdLineParser, AllOptionSpellingsGiveTheSameLowerCaseName) {
    for (const wchar_t* line :
         {L"-action:check", L"/action:check", L"-action=check", L"/ACTION=check"}) {
        CCmdLineParser parser;
        ASSERT_TRUE(parser.Parse(line)) << line;
        EXPECT_EQ(Value(parser, L"action"), L"check") << line;
        EXPECT_EQ(Value(parser, L"AcTiOn"), L"check") << line;
    }
    CCmdLineParser parser;
    parser.Parse(L"-action:Check");
    EXPECT_EQ(Value(parser, L"action"), L"Check");
}

TEST(CmdLineParser, ValuesMustBeJoinedToTheirName) {
    CCmdLineParser parser;
    ASSERT_TRUE(parser.Parse(L"-action check"));
    EXPECT_EQ(Value(parser, L"action"), L"");
    EXPECT_FALSE(parser.HasOption(L"check"));

    // One quoted token with a blank: the blank ends the name.
    ASSERT_TRUE(parser.Parse(L"\"-action check\""));
    EXPECT_EQ(Value(parser, L"action"), L"");
}

TEST(CmdLineParser, SeparatorsAndDashesInsideTokens) {
    CCmdLineParser parser;
    ASSERT_TRUE(parser.Parse(L"-url:a:b=c abc-def:1 -action: -:x - -appid:1 -appid:2"));
    EXPECT_EQ(Value(parser, L"url"), L"a:b=c");
    EXPECT_EQ(Value(parser, L"def"), L"1");
    EXPECT_EQ(Value(parser, L"action"), L"");
    EXPECT_EQ(Value(parser, L"appid"), L"1");
    EXPECT_FALSE(parser.HasOption(L""));
    EXPECT_FALSE(parser.HasOption(L"x"));
}

TEST(CmdLineParser, UrlFormDropsTheTextBeforeThePrefix) {
    CCmdLineParser parser;
    ASSERT_TRUE(parser.Parse(L"-early:1 korvanewebgame://-action:check"));
    EXPECT_STREQ(parser.GetCmdLine(), L"-action:check -protocol");
    EXPECT_EQ(Value(parser, L"action"), L"check");
    EXPECT_TRUE(parser.HasOption(L"protocol"));
    EXPECT_FALSE(parser.HasOption(L"early"));
}

TEST(CmdLineParser, UrlFormCountsOnlyWhereAnArgumentBeginsWithTheScheme) {
    // As browsers and the shell hand it over: alone or after other arguments.
    for (const wchar_t* line :
         {L"korvanewebgame://-action:check", L"-early:1 korvanewebgame://-action:check",
          L"\"C:\\a b\" korvanewebgame://-action:check",
          L"-first -x:\"a korvanewebgame://-action:install\" korvanewebgame://-action:check",
          L"-first -x:\\\"a korvanewebgame://-action:check"}) {
        CCmdLineParser parser;
        ASSERT_TRUE(parser.Parse(line)) << line;
        EXPECT_EQ(Value(parser, L"action"), L"check") << line;
        EXPECT_TRUE(parser.HasOption(L"protocol")) << line;
    }

    // Inside a value (a nickname is the user's own text) the scheme is an ordinary part of it,
    // quoted or not, escaped quotes and quoted blanks included.
    struct Case {
        const wchar_t* line;
        const wchar_t* nickname;
    } values[] = {
        {L"-action:check \"-nickname:korvanewebgame://-action:silent_install\"",
         L"korvanewebgame://-action:silent_install"},
        {L"-action:check -nickname:korvanewebgame://-action:silent_install",
         L"korvanewebgame://-action:silent_install"},
        {L"-action:check \"-nickname:a korvanewebgame://-action:silent_install\"",
         L"a korvanewebgame://-action:silent_install"},
        {L"-action:check \"-nickname:a\\\" korvanewebgame://-action:silent_install\"",
         L"a\" korvanewebgame://-action:silent_install"},
    };
    for (const Case& c : values) {
        CCmdLineParser parser;
        ASSERT_TRUE(parser.Parse(c.line)) << c.line;
        EXPECT_EQ(Value(parser, L"action"), L"check") << c.line;
        EXPECT_FALSE(parser.HasOption(L"protocol")) << c.line;
        EXPECT_STREQ(parser.GetCmdLine(), c.line);
        EXPECT_EQ(Value(parser, L"nickname"), c.nickname) << c.line;
    }
}

TEST(CmdLineParser, LinesWithoutOptionsFailAndKeepNothing) {
    CCmdLineParser parser;
    EXPECT_FALSE(parser.Parse(nullptr));
    EXPECT_FALSE(parser.Parse(L"check newbin"));
    // A blank line yields no option on both targets, wherever the program is installed (the
    // Windows splitter would return the program's own path, "C:\Pallaton-Beta\..." say).
    EXPECT_FALSE(parser.Parse(L""));
    EXPECT_FALSE(parser.Parse(L"   \t "));
    EXPECT_FALSE(parser.HasOption(L"beta\\pallatonupdater.exe"));
}

TEST(CmdLineParser, PresenceValueAndDefaults) {
    CCmdLineParser parser;
    ASSERT_TRUE(parser.Parse(L"-nickname -uin:5"));
    EXPECT_TRUE(parser.HasOption(L"nickname"));
    EXPECT_FALSE(parser.HasValue(L"nickname"));
    EXPECT_TRUE(parser.HasValue(L"uin"));
    std::wstring preset = L"true";
    EXPECT_FALSE(parser.GetValue(L"autorunning", preset));
    EXPECT_EQ(preset, L"true");
    EXPECT_EQ(parser.GetValuePtr(L"autorunning"), nullptr);
    EXPECT_STREQ(parser.GetValuePtr(L"uin"), L"5");
    EXPECT_FALSE(parser.SetValue(L"absent", L"1"));
    EXPECT_TRUE(parser.SetValue(L"UIN", L"6"));
    EXPECT_EQ(Value(parser, L"uin"), L"6");
}

TEST(QuoteArgument, QuotesOnlyWhatTheSplitterWouldBreak) {
    CCmdLineParser parser;
    EXPECT_EQ(parser.QuoteArgument(L"ab", false), L"ab");
    EXPECT_EQ(parser.QuoteArgument(L"a b", false), L"\"a b\"");
    EXPECT_EQ(parser.QuoteArgument(L"a\\\"b", false), L"\"a\\\\\\\"b\"");
    EXPECT_EQ(parser.QuoteArgument(L"a b\\", false), L"\"a b\\\\\"");
    EXPECT_EQ(parser.QuoteArgument(L"ab", true), L"\"ab\"");
    EXPECT_EQ(parser.QuoteArgument(L"", false), L"\"\"");
    EXPECT_EQ(parser.QuoteArgument(L"a\\b c", false), L"\"a\\b c\"");
}

TEST(QuoteArgument, RoundTripsThroughTheParser) {
    // The second token of a line is split by the full rules, so a quoted value must come back
    // exactly as it was.
    for (const std::wstring& value :
         {std::wstring(L"plain"), std::wstring(L"two words"), std::wstring(L"q\"uote"),
          std::wstring(L"trail\\"), std::wstring(L"tab\there"), std::wstring(L"\\\\\"x\\")}) {
        CCmdLineParser parser;
        std::wstring line = L"-first " + parser.QuoteArgument(L"-nickname:" + value, false);
        ASSERT_TRUE(parser.Parse(line.c_str())) << line;
        EXPECT_EQ(Value(parser, L"nickname"), value) << line;
    }
}

TEST(VynCmdChecker, NeedsAppidUinSigValuesAndNicknamePresence) {
    struct Case {
        const wchar_t* line;
        bool complete;
    } cases[] = {
        {L"-appid:1 -uin:2 -sig:3 -nickname", true}, {L"-appid:1 -uin:2 -sig:3 -nickname:x", true},
        {L"-appid:1 -uin:2 -sig -nickname", false},  {L"-appid:1 -uin:2 -sig:3", false},
        {L"-uin:2 -sig:3 -nickname", false},
    };
    for (const Case& c : cases) {
        ASSERT_TRUE(GetCmdLineParser().Parse(c.line));
        EXPECT_EQ(GetVYNCmdChecker()->HasRequiredParams(), c.complete) << c.line;
    }
}

}  // namespace
