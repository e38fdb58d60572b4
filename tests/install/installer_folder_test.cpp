// The folder of its own that each judged installer starts from: the held file moves in through
// its handle, nothing else is there, and both go when the start is over.
#include "install/installer_folder.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "support/fixture_files.h"

namespace {

namespace fs = std::filesystem;

void WriteText(const fs::path& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

TEST(InstallerFolder, TheHeldFileMovesAloneIntoANewFolderAndBothGoAfterwards) {
    fixtures::ScratchFolder scratch;
    WriteText(scratch.path() / "setup_101.exe", "installer");
    WriteText(scratch.path() / "version.dll", "planted");
    std::wstring folderPath;
    {
        InstallerFolder folder;
        platform::InputFile held;
        ASSERT_TRUE(held.OpenToMove(scratch.Wide(L"setup_101.exe")));
        ASSERT_TRUE(folder.MoveIn(held, scratch.Wide(L"setup_101.exe")));
        fs::path moved(folder.FilePath());
        EXPECT_EQ(moved.filename(), "setup_101.exe");
        std::string name = moved.parent_path().filename().string();
        EXPECT_EQ(name.size(), 8u + 16u);
        EXPECT_EQ(name.rfind("install-", 0), 0u) << name;
        EXPECT_EQ(name.find_first_not_of("0123456789abcdef", 8), std::string::npos) << name;
        EXPECT_EQ(moved.parent_path().parent_path(), scratch.path());
        EXPECT_FALSE(fs::exists(scratch.path() / "setup_101.exe"));
        EXPECT_EQ(
            std::distance(fs::directory_iterator(moved.parent_path()), fs::directory_iterator()),
            1);
        // The handle still reads the file it held, which nobody else may open meanwhile on
        // Windows.
        char byte = 0;
        size_t got = 0;
        EXPECT_TRUE(held.Read(&byte, 1, got));
        EXPECT_EQ(byte, 'i');
        held.Close();
        EXPECT_EQ(fixtures::ReadFile(moved), "installer");
        folderPath = moved.parent_path().wstring();
    }
    EXPECT_FALSE(fs::exists(fs::path(folderPath)));
    EXPECT_TRUE(fs::exists(scratch.path() / "version.dll"));
}

TEST(InstallerFolder, EveryStartGetsAFolderOfAnotherName) {
    fixtures::ScratchFolder scratch;
    WriteText(scratch.path() / "a.exe", "a");
    WriteText(scratch.path() / "b.exe", "b");
    InstallerFolder first, second;
    platform::InputFile heldA, heldB;
    ASSERT_TRUE(heldA.OpenToMove(scratch.Wide(L"a.exe")));
    ASSERT_TRUE(heldB.OpenToMove(scratch.Wide(L"b.exe")));
    ASSERT_TRUE(first.MoveIn(heldA, scratch.Wide(L"a.exe")));
    ASSERT_TRUE(second.MoveIn(heldB, scratch.Wide(L"b.exe")));
    EXPECT_NE(fs::path(first.FilePath()).parent_path(), fs::path(second.FilePath()).parent_path());
}

}  // namespace
