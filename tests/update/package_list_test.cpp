#include "update/package_list.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "common/text.h"
#include "platform/path.h"
#include "platform/profile.h"
#include "support/scratch.h"

namespace {

namespace fs = std::filesystem;

class PackageListTest : public testing::Test {
  protected:
    void SetUp() override { list_ = std::make_unique<PackageList>(scratch_.path().wstring()); }
    void TearDown() override { list_.reset(); }

    // Takes every record that is left, in the order the list hands them out.
    std::vector<PackageRecord> TakeAll() {
        std::vector<PackageRecord> taken;
        PackageRecord* record = nullptr;
        while (list_->TakeNextPackage(record))
            taken.push_back(*record);
        return taken;
    }
    std::vector<std::wstring> TakeIds() {
        std::vector<std::wstring> ids;
        for (const PackageRecord& record : TakeAll())
            ids.push_back(record.id);
        return ids;
    }
    std::wstring Recorded(const wchar_t* section, const wchar_t* key, size_t chars = 260) {
        return platform::ReadIniString(list_->GetPackageRecordPath(), section, key, L"", chars);
    }
    std::wstring In(const std::wstring& name) const { return list_->GetDownloadFolder() + name; }

    fixtures::ScratchFolder scratch_;
    std::unique_ptr<PackageList> list_;
};

using Ids = std::vector<std::wstring>;

// An "app" entry to be used; `id` and `size` are JSON values, the others texts.
std::string App(const std::string& id, const std::string& fileName = "app.exe",
                const std::string& md5 = "m", const std::string& size = "10") {
    return R"({"ret":1,"id":)" + id + R"(,"url":"http://h/","file_name":")" + fileName +
           R"(","file_size":)" + size + R"(,"md5":")" + md5 + R"(","version":"v"})";
}

TEST_F(PackageListTest, AppEntriesBecomeRecordsHandedOutInIdOrder) {
    ASSERT_TRUE(list_->ParseUpdateAnswer(
        R"({"ret":"0","app":[{"ret":1,"id":"205","url":"http://h/b","file_name":"b.exe",)"
        R"("file_size":"2048","md5":"ABC","version":"3.1"},)" +
        App("101") + "]}"));
    std::vector<PackageRecord> records = TakeAll();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].id, L"101");
    const PackageRecord& second = records[1];
    EXPECT_EQ(second.id, L"205");
    EXPECT_EQ(second.url, L"http://h/b");
    EXPECT_EQ(second.localPath, In(L"b.exe"));
    EXPECT_EQ(second.fileSize, 2048);
    EXPECT_EQ(second.md5, L"ABC");
    EXPECT_EQ(second.version, L"3.1");
    EXPECT_EQ(second.taskId, 0);
    EXPECT_TRUE(second.taken);
    PackageRecord* none = nullptr;
    EXPECT_FALSE(list_->TakeNextPackage(none));
}

TEST_F(PackageListTest, SectionsAreReadInTheirOwnOrderAndLaterIdsReplaceEarlierOnes) {
    ASSERT_TRUE(list_->ParseUpdateAnswer(
        R"({"fullpackage":{"ret":1,"appid":"7","url":"u","file_name":"full.exe",)"
        R"("file_size":5,"md5":"f"},"ret":0,"app":{"x":)" +
        App("7") + R"(,"y":)" + App("8") + R"(,"z":)" + App("8", "later.exe") +
        R"(},"bin":{"ret":1,"url":"b","file_name":"bin.exe","md5":"b","version":"2"}})"));
    std::vector<PackageRecord> records = TakeAll();
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[0].id, L"1000");
    EXPECT_EQ(records[0].fileSize, 0);
    EXPECT_EQ(records[1].id, L"7");
    EXPECT_EQ(records[1].localPath, In(L"full.exe"));
    EXPECT_EQ(records[1].version, L"");
    EXPECT_EQ(records[2].localPath, In(L"later.exe"));
}

TEST_F(PackageListTest, SizesOfTwoGibibytesAndMoreAreRead) {
    ASSERT_TRUE(list_->ParseUpdateAnswer(R"({"ret":0,"app":[)" +
                                         App("1", "a.exe", "m", "3000000000") + "," +
                                         App("2", "b.exe", "m", "\"5000000000\"") + "," +
                                         App("3", "c.exe", "m", "9223372036854775807") + "]}"));
    std::vector<PackageRecord> records = TakeAll();
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[0].fileSize, 3000000000);
    EXPECT_EQ(records[1].fileSize, 5000000000);
    EXPECT_EQ(records[2].fileSize, INT64_MAX);
    // What the download is told: every size as it is, none as unknown.
    EXPECT_EQ(ExpectedDownloadSize(3000000000), 3000000000u);
    EXPECT_EQ(ExpectedDownloadSize(4294967295), 4294967295u);
    EXPECT_EQ(ExpectedDownloadSize(4294967296), 4294967296u);
    EXPECT_EQ(ExpectedDownloadSize(5000000000), 5000000000u);
    EXPECT_EQ(ExpectedDownloadSize(INT64_MAX), static_cast<uint64_t>(INT64_MAX));
    EXPECT_EQ(ExpectedDownloadSize(-5), 0u);
    EXPECT_EQ(ExpectedDownloadSize(0), 0u);
}

TEST_F(PackageListTest, EntriesAndSectionsThatDoNotCountAreSkipped) {
    EXPECT_TRUE(list_->ParseUpdateAnswer(R"({"ret":0,"app":[{"ret":0},)" + App("9") +
                                         R"(,{"ret":"2","id":1}],"bin":{},"fullpackage":[]})"));
    EXPECT_EQ(TakeIds(), Ids{L"9"});
    EXPECT_FALSE(list_->ParseUpdateAnswer(R"({"ret":0,"app":"1","bin":{}})"));
    EXPECT_FALSE(list_->ParseUpdateAnswer(R"({"ret":0,"app":[{"ret":0}]})"));
}

TEST_F(PackageListTest, AnyReadingErrorMeansNoPackage) {
    const std::string answers[] = {
        "",
        "{",
        R"({"app":[)" + App("1") + "]}",            // no "ret"
        R"({"ret":-1,"app":[)" + App("1") + "]}",   // negative "ret"
        R"({"ret":"x","app":[)" + App("1") + "]}",  // "ret" not a number
        R"({"ret":0,"app":[)" + App("1") +
            R"(,{"ret":1,"id":2,"url":"u","file_name":"f",)"
            R"("file_size":1,"version":"v"}]})",                   // a later entry without "md5"
        R"({"ret":0,"app":[{"id":1}]})",                           // an entry without "ret"
        R"({"ret":0,"app":[)" + App("1", "a", "m", "1.5") + "]}",  // size not integral
        R"({"ret":0,"fullpackage":{"ret":1,"appid":"7","url":"u","file_name":"f","md5":"m"}})",
        R"({"ret":0,"bin":{"ret":1,"url":"u","file_name":"f","file_size":"big","md5":"m",)"
        R"("version":"1"}})",
        std::string(100000, '[') + std::string(100000, ']'),
    };
    for (const std::string& answer : answers)
        EXPECT_FALSE(list_->ParseUpdateAnswer(answer)) << answer.substr(0, 200);
}

TEST_F(PackageListTest, UnreadableJsonLeavesTheListAsItWas) {
    ASSERT_TRUE(list_->ParseUpdateAnswer(R"({"ret":0,"app":[)" + App("3") + "]}"));
    EXPECT_FALSE(list_->ParseUpdateAnswer(R"({"ret":0,"app":[)" + App("4") + "]"));
    EXPECT_EQ(TakeIds(), Ids{L"3"});
}

TEST_F(PackageListTest, UnsafeFileNamesMeanNoPackage) {
    const std::wstring folder = list_->GetDownloadFolder();
    auto bin = [](const std::string& name) {
        return R"({"ret":0,"bin":{"ret":1,"url":"u","file_name":")" + name +
               R"(","md5":"m","version":"1"}})";
    };
    const std::string unsafe[] = {"", ".", "..", "..\\\\..\\\\x.exe", "../x.exe", "a/b", "c:x",
                                  "a<b", "a>b", "a\\\"b", "a|b", "a?b", "a*b", "a\\u0001b",
                                  "tab\\tname", "x.exe.", "x.exe ", "CON", "con.txt", "Lpt9.log",
                                  "COM1.tar.gz", "nul", "aux .txt",
                                  // in the code page the answer comes in
                                  ToNarrow(L"COM\u00b9"), std::string(260 - folder.size(), 'n')};
    for (const std::string& name : unsafe)
        EXPECT_FALSE(list_->ParseUpdateAnswer(bin(name))) << name;
    const std::string safe[] = {
        "pkg..exe", "a b.exe", ".hidden", "CONSOLE.exe",
        "com0.exe", "LPT10",   "x.con",   std::string(259 - folder.size(), 'n')};
    for (const std::string& name : safe)
        EXPECT_TRUE(list_->ParseUpdateAnswer(bin(name))) << name;
}

TEST_F(PackageListTest, CollidingFileNamesMeanNoPackage) {
    const std::string colliding[] = {
        // two packages under one name, in any case
        App("1", "same.exe") + "," + App("2", "SAME.exe"),
        // a package named like the record file
        App("1", "pallaton_resourceupdate.INI"),
        // a package named like a piece file of another
        App("1", "x.exe") + "," + App("2", "x.exe.tmp_3"),
        App("1", "X.EXE.TMP_0") + "," + App("2", "x.exe"),
    };
    for (const std::string& entries : colliding) {
        EXPECT_FALSE(list_->ParseUpdateAnswer(R"({"ret":0,"app":[)" + entries + "]}")) << entries;
        EXPECT_EQ(TakeIds(), Ids{}) << entries;
    }
    // The client's package collides with an application's as well.
    EXPECT_FALSE(list_->ParseUpdateAnswer(
        R"({"ret":0,"app":[)" + App("1", "c.exe") +
        R"(],"bin":{"ret":1,"url":"b","file_name":"C.exe","md5":"b","version":"2"}})"));
    // A later entry of the same id replaces the earlier one, so its name is no clash; names
    // that only share a beginning are apart.
    EXPECT_TRUE(list_->ParseUpdateAnswer(R"({"ret":0,"app":[)" + App("1", "a.exe") + "," +
                                         App("1", "a.exe") + "," + App("2", "a.exe.tmp") + "," +
                                         App("3", "a.exe_tmp_1") + "]}"));
    EXPECT_EQ(TakeIds(), (Ids{L"1", L"2", L"3"}));
}

// Names are compared as the Windows file system compares them, letters outside ASCII too, on
// both targets. The UTF-8 bytes of "setup_\u00ca.exe" and "setup_\u00da.exe" read in the
// Windows-1252 code page are "setup_\u00c3\u0160.exe" and "setup_\u00c3\u0161.exe": one file.
TEST_F(PackageListTest, NamesThatTheFileSystemFoldsToOneCollide) {
    const std::string upper = ToNarrow(L"setup_\u00c3\u0160.exe");
    const std::string lower = ToNarrow(L"setup_\u00c3\u0161.exe");
    const std::string colliding[] = {
        App("1", upper) + "," + App("2", lower),
        App("1", "Setup.EXE") + "," + App("2", "setup.exe"),
        App("1", upper) + "," + App("2", lower + ".tmp_state"),
    };
    for (const std::string& entries : colliding) {
        EXPECT_FALSE(list_->ParseUpdateAnswer(R"({"ret":0,"app":[)" + entries + "]}")) << entries;
        EXPECT_EQ(TakeIds(), Ids{}) << entries;
    }
    // Other letters are other names.
    EXPECT_TRUE(list_->ParseUpdateAnswer(R"({"ret":0,"app":[)" + App("1", upper) + "," +
                                         App("2", ToNarrow(L"setup_\u00c3\u017d.exe")) + "," +
                                         App("3", ToNarrow(L"setup_\u00c3\u0153.exe")) + "]}"));
    EXPECT_EQ(TakeIds(), (Ids{L"1", L"2", L"3"}));
}

TEST_F(PackageListTest, ValuesThatWouldBreakTheRecordMeanNoPackage) {
    const std::string unsafe[] = {
        App(R"("1\n[2]")"),
        App(R"("a|b")"),
        App(R"("[x")"),
        App(R"("x]")"),
        App(R"("1\u007f")"),
        App("1", "a.exe", "m\\r\\nx"),  // "\r\n" in the md5
        R"({"ret":1,"id":3,"url":"u","file_name":"f","file_size":1,"md5":"m","version":"1\t2"})",
        R"({"ret":1,"appid":"7\u0000","url":"u","file_name":"f","file_size":1,"md5":"m"})",
    };
    for (const std::string& entry : unsafe) {
        std::string section = entry.find("appid") != std::string::npos ? "fullpackage" : "app";
        std::string answer = R"({"ret":0,")" + section + R"(":[)" + entry + "]}";
        if (section == "fullpackage")
            answer = R"({"ret":0,"fullpackage":)" + entry + "}";
        EXPECT_FALSE(list_->ParseUpdateAnswer(answer)) << answer;
    }
    // Brackets and bars are only a danger in ids; blanks anywhere are fine.
    EXPECT_TRUE(list_->ParseUpdateAnswer(R"({"ret":0,"app":[)" +
                                         App(R"("1 a")", "a.exe", "[m|d5]") + "]}"));
    EXPECT_EQ(TakeIds(), Ids{L"1 a"});
}

TEST_F(PackageListTest, TaskIdsMapToNumericPackageIds) {
    ASSERT_TRUE(list_->ParseUpdateAnswer(
        R"({"ret":0,"app":[)" + App("\"abc\"", "abc.exe") + "," + App("\"12\"", "12.exe") + "," +
        App("\"5\"", "5.exe") +
        R"(],"bin":{"ret":1,"url":"u","file_name":"bin.exe","md5":"m","version":"2"}})"));
    PackageRecord* record = nullptr;
    int task = 0;
    while (list_->TakeNextPackage(record))
        record->taskId = record->id == L"5" ? 2 : ++task;  // ids 1000, 12, 5, abc in that order
    EXPECT_EQ(list_->FindPackageIdByTask(1), 1000);
    EXPECT_EQ(list_->FindPackageIdByTask(2), 12);  // "12" comes before "5" and shares task 2
    EXPECT_EQ(list_->FindPackageIdByTask(3), -1);  // "abc" is not a number
    EXPECT_EQ(list_->FindPackageIdByTask(0), -1);
    EXPECT_EQ(list_->FindPackageIdByTask(42), -1);
}

TEST_F(PackageListTest, RecordNamesOnlyTakenPackagesAndASecondRunExtendsIt) {
    ASSERT_TRUE(list_->ParseUpdateAnswer(R"({"ret":0,"app":[)" + App("205", "b.exe") + "," +
                                         App("101") + "]}"));
    PackageRecord* record = nullptr;
    ASSERT_TRUE(list_->TakeNextPackage(record));
    list_->WritePackageRecord();
    EXPECT_EQ(Recorded(L"info", L"appid", 1024), L"101");
    EXPECT_EQ(Recorded(L"101", L"package"), In(L"app.exe"));
    EXPECT_EQ(Recorded(L"101", L"md5"), L"m");
    EXPECT_EQ(Recorded(L"101", L"ver"), L"v");
    EXPECT_EQ(Recorded(L"205", L"package"), L"");
    EXPECT_FALSE(list_->TakeNextPackage(record));

    // A second run with its own list: new ids are added, old sections stay, "appid" is replaced.
    PackageList second(scratch_.path().wstring());
    ASSERT_TRUE(second.ParseUpdateAnswer(R"({"ret":0,"app":[)" + App("300") + "," +
                                         App("101", "new.exe", "m2") + "]}"));
    while (second.TakeNextPackage(record)) {
    }
    second.WritePackageRecord();
    EXPECT_EQ(Recorded(L"info", L"appid", 1024), L"101|300");
    EXPECT_EQ(Recorded(L"101", L"package"), In(L"new.exe"));
    EXPECT_EQ(Recorded(L"101", L"md5"), L"m2");
    EXPECT_EQ(Recorded(L"300", L"package"), In(L"app.exe"));
}

TEST_F(PackageListTest, NothingTakenWritesNoRecord) {
    ASSERT_TRUE(list_->ParseUpdateAnswer(R"({"ret":0,"app":[)" + App("1") + "]}"));
    list_->WritePackageRecord();
    EXPECT_FALSE(platform::PathExists(list_->GetPackageRecordPath()));
    EXPECT_EQ(list_->GetPackageRecordPath(),
              list_->GetDownloadFolder() + L"Pallaton_ResourceUpdate.ini");
}

// Without a folder of the user's own (no data folder, no private temporary one) the list takes
// no package rather than download into a folder others can write.
TEST(PackageListWithoutFolder, TakesNoPackage) {
    PackageList list{std::wstring()};
    EXPECT_EQ(list.GetDownloadFolder(), L"");
    EXPECT_FALSE(list.ParseUpdateAnswer(R"({"ret":0,"app":[)" + App("1") + "]}"));
    PackageRecord* record = nullptr;
    EXPECT_FALSE(list.TakeNextPackage(record));
}

#ifndef _WIN32
// A data folder whose path is not UTF-8 ("h\xE9" of a Latin-1 home) holds the packages and the
// record under its own bytes.
TEST(PackageDownloadFolder, LinuxKeepsADataFolderWhosePathIsNotUtf8) {
    fixtures::ScratchFolder scratch;
    std::string data = scratch.path().string() + "/h\xE9";
    fixtures::ScopedEnvironment dataHome("XDG_DATA_HOME", data);
    {
        PackageList list;
        EXPECT_EQ(ToNarrow(list.GetDownloadFolder()), data + "/Korvane/PLTNDownload/");
        EXPECT_TRUE(fs::is_directory(fs::path(data) / "Korvane" / "PLTNDownload"));
        ASSERT_TRUE(list.ParseUpdateAnswer(R"({"ret":0,"app":[)" + App("1") + "]}"));
        PackageRecord* record = nullptr;
        ASSERT_TRUE(list.TakeNextPackage(record));
        std::wstring localPath = record->localPath;
        EXPECT_EQ(ToNarrow(localPath), data + "/Korvane/PLTNDownload/app.exe");
        list.WritePackageRecord();
        EXPECT_TRUE(fs::is_regular_file(fs::path(data) / "Korvane" / "PLTNDownload" /
                                        "Pallaton_ResourceUpdate.ini"));
        EXPECT_EQ(platform::ReadIniString(list.GetPackageRecordPath(), L"1", L"package", L"", 260),
                  localPath);
    }
}

// On Linux the answer's narrow text is UTF-8 and the record keeps it whole; the folder follows
// the XDG data folder.
TEST_F(PackageListTest, LinuxKeepsNonAsciiNamesThroughTheRecord) {
    ASSERT_TRUE(list_->ParseUpdateAnswer(R"({"ret":0,"app":[)" + App("1", "游戏 é.exe") + "]}"));
    PackageRecord* record = nullptr;
    ASSERT_TRUE(list_->TakeNextPackage(record));
    EXPECT_EQ(record->localPath, In(L"游戏 é.exe"));
    list_->WritePackageRecord();
    EXPECT_EQ(Recorded(L"1", L"package"), In(L"游戏 é.exe"));
}

TEST(PackageDownloadFolder, LinuxFollowsTheDataFolder) {
    fixtures::ScratchFolder scratch;
    fs::path data = scratch.path() / "data";
    fixtures::ScopedEnvironment dataHome("XDG_DATA_HOME", data.string());
    PackageList list;
    EXPECT_EQ(list.GetDownloadFolder(), data.wstring() + L"/Korvane/PLTNDownload/");
    EXPECT_TRUE(fs::is_directory(data / "Korvane" / "PLTNDownload"));
}
#else
TEST(PackageDownloadFolder, WindowsUsesTheRoamingDataFolder) {
    EXPECT_TRUE(EndsWithIgnoreCaseAscii(GetPackageDownloadFolder(), L"\\Korvane\\PLTNDownload\\"));
}
#endif

}  // namespace
