#include "update/check_update.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include "common/client_settings.h"
#include "common/file_digest.h"
#include "common/md5.h"
#include "common/text.h"
#include "platform/path.h"
#include "platform/profile.h"
#include "platform/registry.h"
#include "support/fixture_files.h"
#include "support/test_servers.h"
#include "update/package_list.h"
#include "update/update_request.h"

namespace {

using fixtures::ScratchFolder;

TEST(CompareVersion, FirstUnequalPartDecides) {
    EXPECT_EQ(CCheckUpdate::CompareVersion(L"2.0.0.0", L"1.9.9.9"), 1);
    EXPECT_EQ(CCheckUpdate::CompareVersion(L"1.9.9.9", L"2.0.0.0"), -1);
    EXPECT_EQ(CCheckUpdate::CompareVersion(L"2.0.0.0", L"2.0.0.0"), 0);
    EXPECT_EQ(CCheckUpdate::CompareVersion(L"1.2", L"1.2.0.0"), 0);
    EXPECT_EQ(CCheckUpdate::CompareVersion(L"1.10.0.0", L"1.9.0.0"), 1);
    EXPECT_EQ(CCheckUpdate::CompareVersion(L"", L"0.0.0.1"), -1);
}

TEST(EncodeQueryValue, EncodesOnlyWhatWouldChangeTheUrl) {
    EXPECT_EQ(EncodeQueryValue(L"a b&c#d%e+f|g_1.0"), L"a%20b%26c%23d%25e%2Bf|g_1.0");
    EXPECT_EQ(EncodeQueryValue(L"101_1.0.0.1|205_2.3.0.0"), L"101_1.0.0.1|205_2.3.0.0");
    // Outside ASCII: the bytes of the UTF-8 form, the same on both targets.
    EXPECT_EQ(EncodeQueryValue(L"\u6b63x\u00e9"), L"%E6%AD%A3x%C3%A9");
}

// The client key of a scratch registry (Linux: a hive of its own; Windows: the real key of the
// test prefix, restored by deleting it).
class ClientKey : public testing::Test {
  protected:
    void SetUp() override { platform::registry::DeleteKeyTree(kClientKey); }
    void TearDown() override { platform::registry::DeleteKeyTree(kClientKey); }

    void Touch(const std::wstring& name) {
        std::ofstream(profile_.path() / std::filesystem::path(name)) << "x";
    }
    std::wstring Path(const std::wstring& name) const {
        return (profile_.path() / std::filesystem::path(name)).wstring();
    }

    fixtures::ScratchProfile profile_;
};

TEST_F(ClientKey, InstalledAppVersionsSkipSubkeysWithoutVersion) {
    using platform::registry::WriteString;
    ASSERT_TRUE(WriteString(std::wstring(kClientKey) + L"101", L"version", L"1.0.0.1"));
    ASSERT_TRUE(WriteString(std::wstring(kClientKey) + L"205", L"other", L"x"));
    ASSERT_TRUE(WriteString(std::wstring(kClientKey) + L"30", L"version", L"3.0"));
    CCheckUpdate all(nullptr, L"", true, false);
    EXPECT_EQ(all.GetInstalledAppVersions(), L"101_1.0.0.1|30_3.0");
    CCheckUpdate one(nullptr, L"101", true, true);
    EXPECT_EQ(one.GetInstalledAppVersions(), L"101_1.0.0.1");
    CCheckUpdate without(nullptr, L"205", true, true);
    EXPECT_EQ(without.GetInstalledAppVersions(), L"");
}

TEST_F(ClientKey, ClientIsInstalledWhenItsFourFilesExist) {
    using platform::registry::WriteString;
    for (const wchar_t* name : {L"Launch.exe", L"PALLATON.EXE", L"PallatonTray.exe",
                                L"PallatonUpdater.exe", L"Client.exe", L"OldPallaton.exe"}) {
        Touch(name);
    }
    WriteString(kClientKey, L"LaunchPath", Path(L"Launch.exe"));
    WriteString(kClientKey, L"version", L"1.0.0.1");

    // The main program's name matches in any case.
    WriteString(kClientKey, L"Exe", Path(L"PALLATON.EXE"));
    EXPECT_TRUE(CCheckUpdate::IsClientInstalled());
    // Another main program name: the tray and updater are looked for beside it.
    WriteString(kClientKey, L"Exe", Path(L"Client.exe"));
    EXPECT_TRUE(CCheckUpdate::IsClientInstalled());
    EXPECT_TRUE(platform::registry::KeyExists(kClientKey));
    // A name that only ends like the main program's is another program: the tray and updater
    // are still looked for beside it, not as "OldPallatonTray.exe".
    WriteString(kClientKey, L"Exe", Path(L"OldPallaton.exe"));
    EXPECT_TRUE(CCheckUpdate::IsClientInstalled());
    EXPECT_TRUE(platform::registry::KeyExists(kClientKey));

    // A missing file removes the whole client key.
    std::filesystem::remove(profile_.path() / "PallatonTray.exe");
    EXPECT_FALSE(CCheckUpdate::IsClientInstalled());
    EXPECT_FALSE(platform::registry::KeyExists(kClientKey));
    // Without the values the key is left alone.
    WriteString(kClientKey, L"version", L"1.0.0.1");
    EXPECT_FALSE(CCheckUpdate::IsClientInstalled());
    EXPECT_TRUE(platform::registry::KeyExists(kClientKey));
}

// A newbin_check controller, without windows, whose download results are recorded once they
// have taken their usual path.
class RecordingCheckUpdate : public CCheckUpdate {
  public:
    struct Result {
        int taskId;
        int success;
        std::string localPath;
    };

    RecordingCheckUpdate() : CCheckUpdate(nullptr, L"101", true, true) {}
    // The tasks call back into this object: stop them while its members still exist.
    ~RecordingCheckUpdate() override { Shutdown(); }

    void OnDownloadResult(int taskId, int success, const char* localPath) override {
        CCheckUpdate::OnDownloadResult(taskId, success, localPath);
        std::lock_guard<std::mutex> lock(mutex_);
        results_.push_back({taskId, success, localPath != nullptr ? localPath : ""});
        changed_.notify_all();
    }

    // The results so far, after waiting up to a minute for `count` of them.
    std::vector<Result> WaitForResults(size_t count) {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait_for(lock, std::chrono::minutes(1), [&] { return results_.size() >= count; });
        return results_;
    }

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Result> results_;
};

// Update runs that download from the local test servers into the user's download folder
// (Linux: one of a scratch data folder; Windows: the prefix's own, emptied of the test's files).
class DownloadRun : public testing::Test {
  protected:
    void SetUp() override {
#ifndef _WIN32
        setenv("XDG_CONFIG_HOME", scratch_.path().c_str(), 1);
        setenv("XDG_DATA_HOME", scratch_.path().c_str(), 1);
#endif
        folder_ = GetPackageDownloadFolder();
        ASSERT_TRUE(CreateFolderTree(folder_));
    }
    void TearDown() override {
        for (const std::wstring& name : created_)
            platform::DeletePath(Path(name));
        platform::DeletePath(Path(L"Pallaton_ResourceUpdate.ini"));
    }

    std::wstring Path(const std::wstring& name) const {
        return folder_ + name;
    }
    std::string NarrowPath(const std::wstring& name) const {
        return ToNarrowPath(Path(name));
    }

    static std::string Md5Of(const std::string& content) {
        MD5_CTX context;
        context.MD5Update(reinterpret_cast<const unsigned char*>(content.data()),
                          static_cast<unsigned int>(content.size()));
        unsigned char digest[16];
        context.MD5Final(digest);
        return ToNarrow(Md5DigestToText(digest));
    }
    // Writes a file into the download folder (removed at the end) and gives its digest.
    std::string Put(const std::wstring& name, const std::string& content) {
        created_.push_back(name);
        EXPECT_TRUE(http_test::WriteWholeFile(NarrowPath(name), content));
        return Md5Of(content);
    }
    // An answer entry of the "app" section; the file is removed at the end.
    std::string App(const std::string& id, const std::wstring& name, const std::string& url,
                    size_t size, const std::string& md5) {
        created_.push_back(name);
        return R"({"ret":1,"id":")" + id + R"(","url":")" + url + R"(","file_name":")" +
               ToNarrow(name) + R"(","file_size":)" + std::to_string(size) + R"(,"md5":")" + md5 +
               R"(","version":"2.0"})";
    }
    std::string Read(const std::wstring& name) const {
        std::string content;
        EXPECT_TRUE(http_test::ReadWholeFile(NarrowPath(name), content));
        return content;
    }

    fixtures::ScratchFolder scratch_;
    std::wstring folder_;
    std::vector<std::wstring> created_;
};

TEST_F(DownloadRun, APackageAlreadyThereIsNotFetchedAndTheOthersAre) {
    const std::string fetched = http_test::PatternBytes(1000003);
    const std::string kept = "kept package of an earlier run";
    const std::string fetchedMd5 = Md5Of(fetched);
    const std::string keptMd5 = Put(L"kept-205.exe", kept);
    // The package that is there already names a file the server does not have: fetching it
    // would fail the run.
    const std::string answer =
        R"({"ret":0,"app":[)" +
        App("101", L"fetched-101.exe", http_test::NginxUrl("pattern.1000003"), fetched.size(),
            fetchedMd5) +
        "," + App("205", L"kept-205.exe", http_test::NginxUrl("absent.exe"), kept.size(), keptMd5) +
        "]}";

    RecordingCheckUpdate controller;
    controller.OnRequestResult(0, 1, 200, answer.c_str());
    // Only the fetched package reports a download result; the kept one is done without one.
    std::vector<RecordingCheckUpdate::Result> results = controller.WaitForResults(1);
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0].success, 1);
    EXPECT_EQ(results[0].localPath, NarrowPath(L"fetched-101.exe"));
    EXPECT_EQ(Read(L"fetched-101.exe"), fetched);
    EXPECT_EQ(Read(L"kept-205.exe"), kept);
    // Both are named in the record for the install pass.
    EXPECT_EQ(
        platform::ReadIniString(Path(L"Pallaton_ResourceUpdate.ini"), L"info", L"appid", L"", 260),
        L"101|205");
}

// What an earlier, unfinished download of the package left beside it only takes space once
// the package is there.
TEST_F(DownloadRun, APackageAlreadyThereLosesTheLeftoversOfDownloadsBesideIt) {
    const std::string kept = "kept package of an earlier run";
    const std::string md5 = Put(L"kept-101.exe", kept);
    const std::wstring leftovers[] = {L"kept-101.exe.tmp_0", L"kept-101.exe.tmp_63",
                                      L"kept-101.exe.tmp_state", L"kept-101.exe.tmp_part"};
    for (const std::wstring& name : leftovers)
        Put(name, "stale");
    const std::string answer =
        R"({"ret":0,"app":[)" +
        App("101", L"kept-101.exe", http_test::NginxUrl("absent.exe"), kept.size(), md5) + "]}";

    RecordingCheckUpdate controller;
    controller.OnRequestResult(0, 1, 200, answer.c_str());
    EXPECT_TRUE(controller.WaitForResults(0).empty());
    EXPECT_EQ(Read(L"kept-101.exe"), kept);
    for (const std::wstring& name : leftovers)
        EXPECT_FALSE(platform::PathExists(Path(name))) << ToNarrow(name);
}

}  // namespace
