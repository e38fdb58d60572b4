// The same cases run against the system's INI functions on Windows and against our own INI
// layer on Linux, so that a record file means the same on both targets.
#include "platform/profile.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>

#include "support/scratch.h"

#ifndef _WIN32
#include <sys/stat.h>

#include "platform/posix/profile_text.h"
#endif

namespace {

namespace fs = std::filesystem;

class ProfileTest : public testing::Test {
  protected:
    void SetUp() override { file_ = scratch_.Wide(L"record.ini"); }

    void Put(const std::string& bytes) {
        std::ofstream(fs::path(file_), std::ios::binary) << bytes;
    }
    std::string Bytes() const {
        std::ifstream in(fs::path(file_), std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    std::wstring Get(const wchar_t* section, const wchar_t* key, const wchar_t* fallback = L"",
                     size_t chars = 64) const {
        return platform::ReadIniString(file_, section, key, fallback, chars);
    }
    bool Set(const wchar_t* section, const wchar_t* key, const wchar_t* value) {
        return platform::WriteIniString(file_, section, key, value);
    }

    fixtures::ScratchFolder scratch_;
    const fs::path& folder_ = scratch_.path();
    std::wstring file_;
};

TEST_F(ProfileTest, BlanksAroundNamesAndValuesAndLetterCaseDoNotCount) {
    Put("  [ Sec ]  \r\n  key  =  value  \r\nk2=\t v2\x1a\r\n[a b]\r\nmy key = v w \r\n");
    EXPECT_EQ(Get(L"Sec", L"key"), L"value");
    EXPECT_EQ(Get(L" sec ", L"  KEY "), L"value");
    EXPECT_EQ(Get(L"SEC", L"k2"), L"v2");
    EXPECT_EQ(Get(L"A B", L"My Key"), L"v w");
}

TEST_F(ProfileTest, OnePairOfEnclosingQuotesIsDropped) {
    Put("[s]\na=\"abc\"\nb='abc'\nc=\"abc\nd=\"abc'\ne=\"\nf=\"\"\ng= \"x y\" \nh=\"a\"b\"\n"
        "i=\" a \"\nj=abc\"\n");
    const std::pair<const wchar_t*, const wchar_t*> cases[] = {
        {L"a", L"abc"}, {L"b", L"abc"}, {L"c", L"\"abc"}, {L"d", L"\"abc'"}, {L"e", L"\""},
        {L"f", L""},    {L"g", L"x y"}, {L"h", L"a\"b"},  {L"i", L" a "},    {L"j", L"abc\""},
    };
    for (const auto& [key, expected] : cases)
        EXPECT_EQ(Get(L"s", key), expected) << key;
}

TEST_F(ProfileTest, KeysWithoutValueAndMissingKeysGiveTheDefault) {
    Put("[s]\nflag\nempty=\nk=a=b\n");
    EXPECT_EQ(Get(L"s", L"flag", L"DEF"), L"DEF");
    EXPECT_EQ(Get(L"s", L"empty", L"DEF"), L"");
    EXPECT_EQ(Get(L"s", L"k"), L"a=b");
    EXPECT_EQ(Get(L"s", L"none", L"DEF"), L"DEF");
    EXPECT_EQ(Get(L"t", L"k", L"DEF"), L"DEF");
    // The default loses its trailing blanks and enclosing quotes, not its leading blanks.
    EXPECT_EQ(Get(L"s", L"none", L"  lead  "), L"  lead");
    EXPECT_EQ(Get(L"s", L"none", L"\"q\""), L"q");
    fs::remove(file_);
    EXPECT_EQ(Get(L"s", L"k", L"missing file"), L"missing file");
}

TEST_F(ProfileTest, OnlyTheFirstSectionAndKeyOfANameCount) {
    Put("k=top\n[a]\nk=1\nk=2\n[A]\nk=3\nm=4\n");
    EXPECT_EQ(Get(L"a", L"k"), L"1");
    EXPECT_EQ(Get(L"a", L"m", L"DEF"), L"DEF");
    EXPECT_EQ(Get(L"", L"k"), L"top");
}

TEST_F(ProfileTest, SectionLinesEndAtTheirLastBracket) {
    Put("[a]b]\nk=1\n[c\nk=2\n[d] junk\nk=3\n");
    EXPECT_EQ(Get(L"a]b", L"k"), L"1");
    EXPECT_EQ(Get(L"c", L"k", L"DEF"), L"DEF");
    EXPECT_EQ(Get(L"d", L"k"), L"3");
}

TEST_F(ProfileTest, LinesMayEndInCrLfLfOrCr) {
    Put("[s]\r\nk=crlf\r\n[t]\nk=lf\n");
    EXPECT_EQ(Get(L"s", L"k"), L"crlf");
    EXPECT_EQ(Get(L"t", L"k"), L"lf");
    Put("[s]\rk=v\rm=w\r");
    EXPECT_EQ(Get(L"s", L"m"), L"w");
}

TEST_F(ProfileTest, ValuesAreCutToTheBuffer) {
    Put("[s]\nk=abcdefgh\nq=\"abcdefgh\"\n");
    EXPECT_EQ(Get(L"s", L"k", L"", 4), L"abc");
    EXPECT_EQ(Get(L"s", L"k", L"", 9), L"abcdefgh");
    EXPECT_EQ(Get(L"s", L"k", L"", 8), L"abcdefg");
    EXPECT_EQ(Get(L"s", L"k", L"", 1), L"");
    EXPECT_EQ(Get(L"s", L"k", L"", 0), L"");
    EXPECT_EQ(Get(L"s", L"q", L"", 4), L"abc");
    EXPECT_EQ(Get(L"s", L"x", L"defaultxyz", 4), L"def");
}

TEST_F(ProfileTest, TheFirstWriteCreatesTheFileAndLaterWritesUpdateIt) {
    ASSERT_TRUE(Set(L"101", L"package", L"pkg one.exe"));
    EXPECT_TRUE(Set(L"101", L"md5", L"abc"));
    EXPECT_TRUE(Set(L"202", L"package", L"p2"));
    EXPECT_TRUE(Set(L"INFO", L"appid", L"101|202"));
    EXPECT_TRUE(Set(L"101", L"MD5", L"def"));
    EXPECT_TRUE(Set(L"101", L"ver", L"  padded  "));
    EXPECT_TRUE(Set(L"101", L"quoted", L"\"q\""));
    EXPECT_EQ(Get(L"101", L"package"), L"pkg one.exe");
    EXPECT_EQ(Get(L"101", L"md5"), L"def");
    EXPECT_EQ(Get(L"101", L"ver"), L"padded");
    EXPECT_EQ(Get(L"101", L"quoted"), L"q");
    EXPECT_EQ(Get(L"202", L"package"), L"p2");
    EXPECT_EQ(Get(L"info", L"appid"), L"101|202");
}

TEST_F(ProfileTest, WritesKeepOtherSectionsAndKeysOfAHandMadeFile) {
    Put("; comment\n\n[s]  \n  k = old  \nflag\nz=1\n\n[S]\nd=dup\n[t]\nq=2");
    EXPECT_TRUE(Set(L"S", L"K", L"new"));
    EXPECT_TRUE(Set(L"s", L"flag", L"set"));
    EXPECT_TRUE(Set(L"s", L"d", L"first"));
    EXPECT_TRUE(Set(L"t", L"r", L"y"));
    EXPECT_TRUE(Set(L"u", L"k", L"z"));
    struct Expected {
        const wchar_t* section;
        const wchar_t* key;
        const wchar_t* value;
    };
    const Expected expected[] = {
        {L"s", L"k", L"new"},   {L"s", L"flag", L"set"},     {L"s", L"z", L"1"},
        {L"s", L"d", L"first"}, {L"t", L"q", L"2"},          {L"t", L"r", L"y"},
        {L"u", L"k", L"z"},     {L"", L"; comment", L"DEF"},
    };
    for (const auto& row : expected)
        EXPECT_EQ(Get(row.section, row.key, L"DEF"), row.value) << row.key;
}

TEST_F(ProfileTest, WritingIntoAMissingFolderFails) {
    EXPECT_FALSE(
        platform::WriteIniString((folder_ / "none" / "r.ini").wstring(), L"s", L"k", L"v"));
}

// A value is read from the file as it is now, whoever changed it last.
TEST_F(ProfileTest, ValuesFollowChangesMadeByOtherWriters) {
    Put("[s]\nk=old\n");
    // An hour old: the file is not being written any more.
    fs::last_write_time(fs::path(file_),
                        fs::last_write_time(fs::path(file_)) - std::chrono::hours(1));
    EXPECT_EQ(Get(L"s", L"k"), L"old");
    Put("[s]\nk=newer\n");  // in place, another size
    EXPECT_EQ(Get(L"s", L"k"), L"newer");
    const auto written = fs::last_write_time(fs::path(file_));
    fs::last_write_time(fs::path(file_), written - std::chrono::hours(1));
    EXPECT_EQ(Get(L"s", L"k"), L"newer");
    Put("[s]\nk=later\n");  // in place, the same size, another modification time
    fs::last_write_time(fs::path(file_), written);
    EXPECT_EQ(Get(L"s", L"k"), L"later");
    fs::path aside = folder_ / "aside.ini";
    std::ofstream(aside, std::ios::binary) << "[s]\nk=renamed\n";
    fs::rename(aside, fs::path(file_));  // replaced by another file of the same size
    EXPECT_EQ(Get(L"s", L"k"), L"renamed");
    EXPECT_TRUE(Set(L"s", L"k", L"ours"));
    EXPECT_EQ(Get(L"s", L"k"), L"ours");
}

#ifndef _WIN32
// Reading a record value by value does not parse the whole file for each value: every value of a
// record of 20,000 packages is read in well under 2 s, with the sanitizers' cost included.
TEST_F(ProfileTest, LinuxReadsAllValuesOfALongRecordQuickly) {
    constexpr int kPackages = 20000;
    std::string text;
    std::string appids;
    for (int i = 0; i < kPackages; ++i) {
        std::string id = std::to_string(100000 + i);
        text += "[" + id + "]\npackage=/data/setup_" + id + ".exe\nmd5=" + id + "abc\nver=1." +
                std::to_string(i) + "\n";
        appids += (i == 0 ? "" : "|") + id;
    }
    Put(text + "[info]\nappid=" + appids + "\n");
    const auto start = std::chrono::steady_clock::now();
    // Two seconds for a build as users get it; the sanitizers' checks of every access take
    // about as long again as the work itself, and the suite runs other tests beside this one.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    const auto limit = std::chrono::seconds(6);
#else
    const auto limit = std::chrono::seconds(2);
#endif
    EXPECT_EQ(Get(L"info", L"appid", L"", appids.size() + 1).size(), appids.size());
    int wrong = 0;
    int read = 0;
    for (; read < kPackages && std::chrono::steady_clock::now() - start < limit; ++read) {
        std::wstring id = std::to_wstring(100000 + read);
        wrong += Get(id.c_str(), L"package", L"", 260) != L"/data/setup_" + id + L".exe";
        wrong += Get(id.c_str(), L"md5", L"", 260) != id + L"abc";
        wrong += Get(id.c_str(), L"ver", L"", 260) != L"1." + std::to_wstring(read);
    }
    EXPECT_EQ(read, kPackages) << "not read whole within " << limit.count() << " s";
    EXPECT_EQ(wrong, 0);
}

// Linux keeps the record in UTF-8 and replaces it whole; Windows writes a new file in the ANSI
// code page, so these are ours alone.
TEST_F(ProfileTest, LinuxRecordsKeepAnyTextAndEveryOtherByte) {
    const std::wstring path = L"/data/游戏/päckage.exe";
    ASSERT_TRUE(Set(L"101", L"package", path.c_str()));
    EXPECT_EQ(Bytes(),
              "[101]\npackage=/data/\xE6\xB8\xB8\xE6\x88\x8F/p\xC3\xA4"
              "ckage.exe\n");
    EXPECT_EQ(Get(L"101", L"package", L"", 260), path);

    Put("\xEF\xBB\xBF; keep\r\n[s]\r\n  k = old ; tail\r\n\r\n[t]\r\nq=2\r\n");
    chmod(fs::path(file_).c_str(), 0640);
    ASSERT_TRUE(Set(L"s", L"k", L"new"));
    ASSERT_TRUE(Set(L"s", L"n", L"x"));
    ASSERT_TRUE(Set(L"v", L"w", L"1"));
    EXPECT_EQ(Bytes(),
              "\xEF\xBB\xBF; keep\r\n[s]\r\nk=new\r\nn=x\r\n\r\n[t]\r\nq=2\r\n[v]\r\nw=1\r\n");
    struct stat info;
    ASSERT_EQ(stat(fs::path(file_).c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0640u);
    EXPECT_EQ(std::distance(fs::directory_iterator(folder_), {}), 1) << "a file was left aside";
}

TEST(ProfileText, AValueSetIsTheValueFound) {
    const char* texts[] = {"", "[s]", "[s]\nk", "x=1\r\n[t]\r\n[s]\r\nk=old\r\n", "[S]\rk=1\r"};
    for (const char* text : texts) {
        std::string updated = platform::posix::SetProfileValue(text, "s", "k", "v");
        std::string_view value;
        ASSERT_TRUE(platform::posix::FindProfileValue(updated, " S ", "K", value)) << text;
        EXPECT_EQ(value, "v") << text;
        std::string again = platform::posix::SetProfileValue(updated, "s", "k", "v");
        EXPECT_EQ(again, updated) << text;
    }
}
#endif

}  // namespace
