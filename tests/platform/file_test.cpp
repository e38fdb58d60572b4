// Files that the updater creates in its download folder, where a symbolic link or a FIFO may have
// been planted in their place.
#include "platform/file.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "platform/process.h"
#include "platform/profile.h"
#include "support/fixture_files.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "platform/code_page.h"

namespace {

// The narrow path that the downloads' files take.
std::string NarrowOf(const std::filesystem::path& path) {
#ifdef _WIN32
    return platform::WideToNarrowPath(path.wstring());
#else
    return path.string();
#endif
}

// Two writers' pieces at their own offsets of one allocated file: each lands where it was asked
// to, what nobody wrote reads as zeros, and a second open without truncation keeps all of it.
TEST(PositionedFile, WritesLandAtTheirOffsetsOfTheAllocatedFile) {
    fixtures::ScratchFolder scratch;
    std::string path = NarrowOf(scratch.path() / "package.exe.tmp_part");
    platform::PositionedFile file;
    ASSERT_TRUE(file.Open(path, true));
    ASSERT_TRUE(file.Allocate(30));
    uint64_t size = 0;
    ASSERT_TRUE(file.GetSize(size));
    EXPECT_EQ(size, 30u);
    EXPECT_TRUE(file.WriteAt(20, "klmnopqrst", 10));
    EXPECT_TRUE(file.WriteAt(0, "abcde", 5));
    EXPECT_TRUE(file.Sync());
    file.Close();
    EXPECT_EQ(fixtures::ReadFile(scratch.path() / "package.exe.tmp_part"),
              std::string("abcde") + std::string(15, '\0') + "klmnopqrst");
    ASSERT_TRUE(file.Open(path, false));
    ASSERT_TRUE(file.Allocate(30));
    EXPECT_TRUE(file.WriteAt(5, "fghij", 5));
    file.Close();
    EXPECT_EQ(fixtures::ReadFile(scratch.path() / "package.exe.tmp_part").substr(0, 10),
              "abcdefghij");
    // A shorter length cuts a file that was longer.
    ASSERT_TRUE(file.Open(path, false));
    ASSERT_TRUE(file.Allocate(4));
    file.Close();
    EXPECT_EQ(fixtures::ReadFile(scratch.path() / "package.exe.tmp_part"), "abcd");
    EXPECT_FALSE(file.WriteAt(0, "x", 1));
}

// What the file takes on its volume: at least what was written, whether its length was
// allocated or left sparse.
TEST(PositionedFile, TheAllocatedSizeCountsWhatWasWritten) {
    fixtures::ScratchFolder scratch;
    platform::PositionedFile file;
    ASSERT_TRUE(file.Open(NarrowOf(scratch.path() / "package.exe.tmp_part"), true));
    ASSERT_TRUE(file.Allocate(64u << 20));
    uint64_t before = 0, after = 0;
    ASSERT_TRUE(file.GetAllocatedSize(before));
    std::string block(1u << 20, 'x');
    for (uint64_t offset = 0; offset < (8u << 20); offset += block.size())
        ASSERT_TRUE(file.WriteAt(offset, block.data(), block.size()));
    ASSERT_TRUE(file.Sync());
    ASSERT_TRUE(file.GetAllocatedSize(after));
    EXPECT_GE(after, 8u << 20);
    EXPECT_GE(after, before);
    file.Close();
    EXPECT_FALSE(file.GetAllocatedSize(after));
}

#ifdef _WIN32
// NTFS would write zeros below the first write far into a file that is not sparse: the partial
// file stays sparse until its pieces have written it, where the volume has sparse files (Wine's
// drives report none, and keep the attribute to themselves).
TEST(PositionedFile, TheAllocatedFileIsSparseUntilWritten) {
    fixtures::ScratchFolder scratch;
    std::filesystem::path path = scratch.path() / "package.exe.tmp_part";
    platform::PositionedFile file;
    ASSERT_TRUE(file.Open(NarrowOf(path), true));
    ASSERT_TRUE(file.Allocate(64ull * 1024 * 1024));
    EXPECT_TRUE(file.WriteAt(60ull * 1024 * 1024, "end", 3));
    DWORD attributes = GetFileAttributesW(path.wstring().c_str());
    file.Close();
    ASSERT_NE(attributes, INVALID_FILE_ATTRIBUTES);
    std::wstring root = path.root_path().wstring();
    DWORD flags = 0;
    if (!GetVolumeInformationW(root.c_str(), nullptr, 0, nullptr, nullptr, &flags, nullptr, 0) ||
        (flags & FILE_SUPPORTS_SPARSE_FILES) == 0)
        GTEST_SKIP() << "the volume of the scratch folder has no sparse files";
    EXPECT_NE(attributes & FILE_ATTRIBUTE_SPARSE_FILE, 0u);
}
#endif

#ifndef _WIN32
namespace fs = std::filesystem;

void WriteText(const fs::path& path, const std::string& text) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    ASSERT_NE(file, nullptr);
    std::fwrite(text.data(), 1, text.size(), file);
    std::fclose(file);
}

class PlantedLinks : public testing::Test {
  protected:
    void SetUp() override {
        victim_ = scratch_.path() / "victim";
        WriteText(victim_, "victim's own");
        chmod(victim_.c_str(), 0600);
    }
    // A link at `name` in the download folder that points to the victim.
    fs::path Plant(const std::string& name) {
        fs::path link = scratch_.path() / name;
        fs::create_symlink(victim_, link);
        return link;
    }
    void ExpectVictimUntouched() {
        EXPECT_EQ(fixtures::ReadFile(victim_), "victim's own");
        struct stat info;
        ASSERT_EQ(stat(victim_.c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 0777, 0600u);
    }

    fixtures::ScratchFolder scratch_;
    fs::path victim_;
};

TEST_F(PlantedLinks, AFileCreatedReplacesTheLinkAndAFileReadIsNotFollowed) {
    for (const char* mode : {"wb", "wb+"}) {
        fs::path link = Plant(std::string("piece-") + mode);
        std::FILE* file = platform::OpenStdioFile(link.string(), mode);
        ASSERT_NE(file, nullptr) << mode;
        std::fputs("download", file);
        std::fclose(file);
        EXPECT_FALSE(fs::is_symlink(link)) << mode;
        EXPECT_EQ(fixtures::ReadFile(link), "download") << mode;
    }
    // Joining reads the pieces: a link there must not copy the victim into the package.
    EXPECT_EQ(platform::OpenStdioFile(Plant("piece.tmp_0").string(), "rb"), nullptr);
    ExpectVictimUntouched();
}

TEST_F(PlantedLinks, APositionedFileReplacesTheLinkInItsPlace) {
    fs::path link = Plant("package.exe.tmp_part");
    platform::PositionedFile file;
    ASSERT_TRUE(file.Open(link.string(), false));
    EXPECT_TRUE(file.WriteAt(0, "download", 8));
    file.Close();
    EXPECT_FALSE(fs::is_symlink(link));
    EXPECT_EQ(fixtures::ReadFile(link), "download");
    ExpectVictimUntouched();
}

TEST_F(PlantedLinks, AFileOpenedWithoutLinksIsOnlyTheFileItself) {
    platform::InputFile file;
    EXPECT_FALSE(file.OpenWithoutLinks(Plant("setup_101.exe").wstring()));
    EXPECT_FALSE(file.OpenWithoutLinks(scratch_.path().wstring()));
    EXPECT_TRUE(file.OpenWithoutLinks(victim_.wstring()));
}

TEST_F(PlantedLinks, AFifoInThePlaceOfAFileIsRefusedWithoutWaiting) {
    fs::path fifo = scratch_.path() / "package.exe";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(platform::OpenStdioFile(fifo.string(), "wb"), nullptr);
    EXPECT_EQ(platform::OpenStdioFile(fifo.string(), "rb"), nullptr);
    EXPECT_FALSE(platform::InputFile().OpenWithoutLinks(fifo.wstring()));
}

TEST_F(PlantedLinks, TheRecordReplacesALinkInItsPlace) {
    fs::path link = Plant("Pallaton_ResourceUpdate.ini");
    ASSERT_TRUE(platform::WriteIniString(link.wstring(), L"101", L"package", L"/p"));
    EXPECT_FALSE(fs::is_symlink(link));
    EXPECT_EQ(fixtures::ReadFile(link), "[101]\npackage=/p\n");
    ExpectVictimUntouched();
}

TEST_F(PlantedLinks, StartingAPackageNeverMakesALinksTargetExecutable) {
    fs::path link = Plant("setup_101.exe");
    platform::ProcessHandle process = nullptr;
    uint32_t error = 0;
    EXPECT_FALSE(platform::StartProgram(link.wstring(), nullptr, platform::ShowCommand::Hide,
                                        process, error));
    ExpectVictimUntouched();
}
#endif

}  // namespace
