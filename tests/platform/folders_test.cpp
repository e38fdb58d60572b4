#include "platform/folders.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "platform/code_page.h"
#include "platform/path.h"
#include "support/fixture_files.h"

#ifndef _WIN32
#include <sys/stat.h>
#endif

namespace {

#ifndef _WIN32
using fixtures::ScopedEnvironment;

// Linux paths are bytes: a home folder named in Latin-1 ("h\xE9") must be reached as it is.
TEST(LinuxPaths, BytesThatAreNotUtf8SurviveTheWideForm) {
    const std::string bytes[] = {"/home/h\xE9/x",        "\xFF\xFE",     "a\xE6\xB8",
                                 "\xC3\xA9\xE6\xB8\xB8", "\xED\xA0\x80", "\xC0\xAF"};
    for (const std::string& narrow : bytes) {
        std::wstring wide = platform::AnsiToWide(narrow);
        EXPECT_FALSE(wide.empty()) << narrow;
        EXPECT_EQ(platform::WideToAnsi(wide), narrow) << narrow;
    }
    EXPECT_EQ(platform::AnsiToWide("\xC3\xA9\xE6\xB8\xB8"), L"\u00e9\u6e38");

    fixtures::ScratchFolder scratch;
    std::string folder = scratch.path().string() + "/h\xE9";
    std::wstring wide = platform::AnsiToWide(folder);
    ASSERT_TRUE(platform::CreateFolder(wide));
    struct stat info;
    EXPECT_EQ(stat(folder.c_str(), &info), 0) << "the folder was created under another name";
    EXPECT_TRUE(platform::FolderExists(wide));
}

TEST(LinuxFolders, DataFolderKeepsUndecodableBytesAndIgnoresARelativeSetting) {
    ScopedEnvironment home("HOME", "/home/h\xE9");
    {
        ScopedEnvironment data("XDG_DATA_HOME", "/data/\xFF/");
        std::wstring folder;
        ASSERT_TRUE(platform::GetRoamingAppDataFolder(folder));
        EXPECT_EQ(platform::WideToAnsi(folder), "/data/\xFF");
    }
    ScopedEnvironment relative("XDG_DATA_HOME", "data");
    std::wstring folder;
    ASSERT_TRUE(platform::GetRoamingAppDataFolder(folder));
    EXPECT_EQ(platform::WideToAnsi(folder), "/home/h\xE9/.local/share");
}

// Another user can write into the shared /tmp, so it is no temporary folder of the user's.
TEST(LinuxFolders, TemporaryFolderMustBeTheUsersOwnAndClosedToOthers) {
    {
        ScopedEnvironment shared("TMPDIR", "/tmp");
        EXPECT_EQ(platform::GetTempFolder(), L"");
    }
    fixtures::ScratchFolder scratch;
    std::string own = scratch.path().string() + "/own\xE9";
    ASSERT_EQ(mkdir(own.c_str(), 0700), 0);
    {
        ScopedEnvironment tmp("TMPDIR", own);
        EXPECT_EQ(platform::WideToAnsi(platform::GetTempFolder()), own + "/");
    }
    ASSERT_EQ(chmod(own.c_str(), 0777), 0);
    ScopedEnvironment open("TMPDIR", own);
    EXPECT_EQ(platform::GetTempFolder(), L"");
}
#endif

}  // namespace
