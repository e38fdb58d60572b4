// Whole install passes over fixture installers: every digest is taken before the first installer
// starts, so the progress counts only the packages that may run, and a file that passed its
// digest stays what it was until its own installer starts.
#include "install/update_package_install.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "cmdline/cmd_line_parser.h"
#include "common/file_digest.h"
#include "install/installer_signers.h"
#include "support/fixture_files.h"
#include "support/scratch.h"

namespace {

namespace fs = std::filesystem;
using Step = std::pair<int, int>;

class InstallPass : public ::testing::Test {
  protected:
    void SetUp() override {
        // The fixtures are not signed: whatever the build pins, these passes judge no signer.
        installer_signers::SetPinsForTesting(&noPins_);
        GetCmdLineParser().Parse(L"PallatonUpdater.exe -autorunning:false");
        fixtures::SetRecordFile(started_);
    }
    void TearDown() override { installer_signers::SetPinsForTesting(nullptr); }

    // A fixture installer for `appid` in the record, with its own digest or a wrong one.
    void AddPackage(const std::string& appid, bool rightDigest) {
        std::string name = "setup_" + appid + ".exe";
        fixtures::WriteFixtureProgram(scratch_.path() / name);
        std::wstring digest(32, L'0');
        uint64_t size = 0;
        if (rightDigest) {
            ASSERT_TRUE(ComputeFileMd5(scratch_.Wide(std::wstring(name.begin(), name.end())),
                                       digest, size));
        }
        sections_ += "[" + appid + "]\r\npackage=" + scratch_.Path(name) +
                     "\r\nmd5=" + std::string(digest.begin(), digest.end()) + "\r\n";
        appids_ += (appids_.empty() ? "" : "|") + appid;
    }

    // Writes the record and runs a pass that shows progress: the steps it shows.
    std::vector<Step> RunPass(std::function<void(const std::wstring&)> beforeStart = nullptr) {
        fs::path record(GetInstallRecordPath());
        fs::create_directories(record.parent_path());
        std::ofstream(record, std::ios::binary) << "[info]\r\nappid=" << appids_ << "\r\n"
                                                << sections_;
        CUpdatePackageInstall pass(false, L"");
        std::vector<Step> steps;
        pass.SetProgressForTesting(
            [&](int current, int total) { steps.emplace_back(current, total); });
        pass.SetBeforeStartForTesting(std::move(beforeStart));
        pass.LoadPackageRecord();
        pass.InstallPackages();
        return steps;
    }

    std::string Started() const { return fixtures::ReadFile(started_); }

    std::string noPins_;
    fixtures::ScratchProfile profile_;
    fixtures::ScratchFolder scratch_;
    fs::path started_ = scratch_.path() / "started.txt";
    std::string sections_;
    std::string appids_;
};

TEST_F(InstallPass, ProgressCountsOnlyThePackagesThatPassedTheirDigest) {
    AddPackage("1", false);
    AddPackage("2", true);
    AddPackage("3", false);
    EXPECT_EQ(RunPass(), (std::vector<Step>{{0, 1}, {1, 1}, {1, 1}}));
    EXPECT_EQ(Started(), "setup_2.exe|\n");
}

TEST_F(InstallPass, APassWhoseDigestsAllFailShowsNoProgress) {
    AddPackage("1", false);
    AddPackage("2", false);
    EXPECT_EQ(RunPass(), std::vector<Step>{});
    EXPECT_EQ(Started(), "");
}

#ifdef _WIN32
// Linux takes no lock on a file that is read, so only Windows keeps the checked files as they are.
TEST_F(InstallPass, AFileThatPassedItsDigestCannotBeSwappedWhileAnotherInstallerRuns) {
    AddPackage("1", true);
    AddPackage("2", true);
    fs::path second = scratch_.path() / "setup_2.exe";
    std::string checked = fixtures::ReadFile(second);
    fs::path planted = scratch_.path() / "planted.exe";
    fixtures::WriteFixtureProgram(planted, 7);
    int attempts = 0;
    RunPass([&](const std::wstring& path) {
        if (fs::path(path).filename() != "setup_1.exe")
            return;
        ++attempts;
        EXPECT_FALSE(std::ofstream(second, std::ios::binary | std::ios::app).is_open())
            << "open for writing";
        std::error_code error;
        fs::rename(planted, second, error);
        EXPECT_TRUE(error) << "replaced";
    });
    EXPECT_EQ(attempts, 1);
    EXPECT_TRUE(fixtures::ReadFile(second) == checked) << "the checked file was swapped";
    EXPECT_EQ(Started(), "setup_1.exe|\nsetup_2.exe|\n");
}
#endif

}  // namespace
