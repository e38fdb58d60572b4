// Registry values and keys on both targets; on Linux also the hive file itself: its exact text,
// hand-written files, the lock, atomic replacement and concurrent writers.
#include "platform/registry.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "support/scratch.h"

#ifndef _WIN32
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>
#endif

namespace reg = platform::registry;

namespace {

// A private place to write. Windows: a random key below Software\PallatonTest, deleted
// afterwards. Linux: a fresh XDG_CONFIG_HOME, so the hive starts empty.
class TestHive {
  public:
#ifdef _WIN32
    TestHive()
        : base_(L"Software\\PallatonTest\\" + std::to_wstring(std::random_device()()) + L"\\") {}
    ~TestHive() {
        reg::DeleteKeyTree(base_);
        std::vector<std::wstring> left;
        if (reg::EnumSubkeys(L"Software\\PallatonTest", left) && left.empty()) {
            reg::DeleteKeyTree(L"Software\\PallatonTest");
        }
    }
#else
    TestHive() : base_(L"Software\\PallatonTest\\") {}
#endif
    std::wstring Key(const std::wstring& sub) const {
        return base_ + sub;
    }

#ifndef _WIN32
    std::filesystem::path Folder() const {
        return profile_.ConfigFolder() / "Korvane";
    }
    std::filesystem::path HiveFile() const {
        return Folder() / "HKEY_CURRENT_USER.reg";
    }
    std::string Text() const {
        std::ifstream in(HiveFile(), std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }
    void SetText(const std::string& text) const {
        std::filesystem::create_directories(Folder());
        std::ofstream(HiveFile(), std::ios::binary) << text;
    }

  private:
    fixtures::ScratchProfile profile_;
#endif

  private:
    std::wstring base_;
};

std::wstring ReadText(const std::wstring& key, const std::wstring& name, size_t chars = 260) {
    std::wstring value = L"<unread>";
    return reg::ReadString(key, name, chars, value) ? value : L"<failed>";
}

TEST(Registry, ValuesRoundTripWithTheirTypes) {
    TestHive hive;
    const std::wstring key = hive.Key(L"Korvane\\Pallaton\\");
    const std::wstring texts[] = {L"1.0.0.1", L"", L"C:\\Program Files\\\"quoted\"",
                                  L"Gr\u00f6\u00dfe \u20ac \U0001F600", L"two\r\nlines"};
    for (const auto& text : texts) {
        ASSERT_TRUE(reg::WriteString(key, L"version", text));
        EXPECT_EQ(ReadText(key, L"version"), text);
    }
    EXPECT_EQ(ReadText(hive.Key(L"Korvane\\Pallaton"), L"version"), texts[4]);  // no separator

    uint32_t number = 7;
    ASSERT_TRUE(reg::WriteDword(key, L"UpdateFlag", 0xDEADBEEF));
    ASSERT_TRUE(reg::ReadDword(key, L"UpdateFlag", number));
    EXPECT_EQ(number, 0xDEADBEEFu);

    // Types do not cross, and missing keys and values fail without touching the output.
    EXPECT_EQ(ReadText(key, L"UpdateFlag"), L"<failed>");
    EXPECT_FALSE(reg::ReadDword(key, L"version", number));
    EXPECT_FALSE(reg::ReadDword(key, L"absent", number));
    EXPECT_FALSE(reg::ReadDword(hive.Key(L"Absent"), L"UpdateFlag", number));
    EXPECT_EQ(number, 0xDEADBEEFu);
}

TEST(Registry, StringMustFitTheBufferWithItsTerminator) {
    TestHive hive;
    const std::wstring key = hive.Key(L"Buffer");
    ASSERT_TRUE(reg::WriteString(key, L"fits", std::wstring(128, L'x')));
    ASSERT_TRUE(reg::WriteString(key, L"long", std::wstring(129, L'y')));
    EXPECT_EQ(ReadText(key, L"fits", 129), std::wstring(128, L'x'));
    EXPECT_EQ(ReadText(key, L"long", 129), L"<failed>");
    EXPECT_EQ(ReadText(key, L"long", 130), std::wstring(129, L'y'));
    EXPECT_EQ(ReadText(key, L"fits", 0), L"<failed>");
}

TEST(Registry, NamesMatchWithoutRegardToCase) {
    TestHive hive;
    ASSERT_TRUE(reg::WriteString(hive.Key(L"Mixed\\Case"), L"Version", L"1"));
    ASSERT_TRUE(reg::WriteString(hive.Key(L"MIXED\\case"), L"VERSION", L"2"));
    EXPECT_EQ(ReadText(hive.Key(L"mixed\\CASE"), L"version"), L"2");
    std::vector<std::wstring> names;
    ASSERT_TRUE(reg::EnumSubkeys(hive.Key(L""), names));
    EXPECT_EQ(names, std::vector<std::wstring>{L"Mixed"});  // the first writer's case stays
}

TEST(Registry, SubkeysEnumerateSortedIncludingKeysWithoutValues) {
    TestHive hive;
    for (const wchar_t* name : {L"b\\deep", L"A", L"c"}) {
        ASSERT_TRUE(reg::WriteDword(hive.Key(name), L"n", 1));
    }
    std::vector<std::wstring> names;
    ASSERT_TRUE(reg::EnumSubkeys(hive.Key(L""), names));
    EXPECT_EQ(names, (std::vector<std::wstring>{L"A", L"b", L"c"}));
    ASSERT_TRUE(reg::EnumSubkeys(hive.Key(L"b\\"), names));
    EXPECT_EQ(names, std::vector<std::wstring>{L"deep"});
    EXPECT_TRUE(reg::KeyExists(hive.Key(L"b")));
    EXPECT_FALSE(reg::KeyExists(hive.Key(L"d")));
    EXPECT_FALSE(reg::EnumSubkeys(hive.Key(L"d"), names));
}

TEST(Registry, DeletesReportWhetherSomethingWasThere) {
    TestHive hive;
    ASSERT_TRUE(reg::WriteDword(hive.Key(L"Tree\\Leaf"), L"n", 1));
    ASSERT_TRUE(reg::WriteDword(hive.Key(L"Tree"), L"m", 2));
    ASSERT_TRUE(reg::WriteDword(hive.Key(L"Sibling"), L"n", 3));

    EXPECT_TRUE(reg::DeleteValue(hive.Key(L"Tree"), L"M"));
    EXPECT_FALSE(reg::DeleteValue(hive.Key(L"Tree"), L"m"));
    EXPECT_FALSE(reg::DeleteValue(hive.Key(L"Absent"), L"n"));
    EXPECT_TRUE(reg::KeyExists(hive.Key(L"Tree")));  // a key outlives its last value

    EXPECT_TRUE(reg::DeleteKeyTree(hive.Key(L"tree\\")));
    EXPECT_FALSE(reg::KeyExists(hive.Key(L"Tree\\Leaf")));
    EXPECT_FALSE(reg::KeyExists(hive.Key(L"Tree")));
    EXPECT_FALSE(reg::DeleteKeyTree(hive.Key(L"Tree")));
    EXPECT_FALSE(reg::DeleteKeyTree(L""));
    uint32_t number = 0;
    EXPECT_TRUE(reg::ReadDword(hive.Key(L"Sibling"), L"n", number));
}

#ifndef _WIN32

ino_t Inode(const std::filesystem::path& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0 ? info.st_ino : 0;
}

TEST(RegistryHiveFile, WritesRegeditExportText) {
    TestHive hive;
    const std::wstring key = L"Software\\Korvane\\Pallaton\\";
    ASSERT_TRUE(reg::WriteString(key, L"version", L"1.0.0.1"));
    ASSERT_TRUE(reg::WriteDword(key, L"UpdateFlag", 1));
    ASSERT_TRUE(reg::WriteString(L"Software\\Korvane", L"Path", L"C:\\a \"b\""));
    ASSERT_TRUE(reg::WriteDword(L"software\\korvane\\pallaton", L"updateflag", 0xAB));
    EXPECT_EQ(hive.Text(),
              "Windows Registry Editor Version 5.00\n"
              "\n"
              "[HKEY_CURRENT_USER\\Software]\n"
              "\n"
              "[HKEY_CURRENT_USER\\Software\\Korvane]\n"
              "\"Path\"=\"C:\\\\a \\\"b\\\"\"\n"
              "\n"
              "[HKEY_CURRENT_USER\\Software\\Korvane\\Pallaton]\n"
              "\"version\"=\"1.0.0.1\"\n"
              "\"UpdateFlag\"=dword:000000ab\n"
              "\n");
}

TEST(RegistryHiveFile, ReadsHandWrittenFilesAndKeepsWhatItDoesNotUse) {
    TestHive hive;
    setenv("PALLATON_TEST_DIR", "/opt/x", 1);
    hive.SetText(
        "\xEF\xBB\xBFWindows Registry Editor Version 5.00\r\n\r\n"
        "; a comment\r\n"
        "[HKEY_CURRENT_USER\\Software\\Korvane\\Pallaton]\r\n"
        "@=\"default\"\r\n"
        "\"Path\"=\"C:\\\\Program Files\\\\\\\"Q\\\"\"\r\n"
        "\"Flag\"=dword:0000FFfF\r\n"
        "\"Short\"=dword:1\r\n"
        "\"Raw\"=hex(4):01,02,00,00\r\n"
        // "%PALLATON_TEST_DIR%\\é" as REG_EXPAND_SZ, over a continuation line.
        "\"Expand\"=hex(2):25,00,50,00,41,00,4c,00,4c,00,41,00,54,00,4f,00,4e,00,5f,00,\\\r\n"
        "  54,00,45,00,53,00,54,00,5f,00,44,00,49,00,52,00,25,00,5c,00,e9,00,00,00\r\n"
        "\"Multi\"=hex(7):61,00,00,00,\\\r\n"
        "  00,00\r\n"
        "\"Big\"=hex(b):01,00,00,00,00,00,00,00\r\n"
        "\r\n"
        "[HKEY_CURRENT_USER\\Software\\Korvane\\Pallaton\\Empty]\r\n");
    const std::wstring key = L"Software\\Korvane\\Pallaton";
    uint32_t number = 0;
    EXPECT_EQ(ReadText(key, L"Path"), L"C:\\Program Files\\\"Q\"");
    EXPECT_EQ(ReadText(key, L""), L"default");
    EXPECT_EQ(ReadText(key, L"Expand"), L"/opt/x\\\u00e9");
    EXPECT_EQ(ReadText(key, L"Multi"), L"<failed>");
    EXPECT_TRUE(reg::ReadDword(key, L"flag", number) && number == 0xFFFF);
    EXPECT_TRUE(reg::ReadDword(key, L"Short", number) && number == 1);
    EXPECT_TRUE(reg::ReadDword(key, L"Raw", number) && number == 0x201);
    EXPECT_FALSE(reg::ReadDword(key, L"Big", number));
    std::vector<std::wstring> names;
    EXPECT_TRUE(reg::EnumSubkeys(key, names) && names == std::vector<std::wstring>{L"Empty"});

    ASSERT_TRUE(reg::WriteDword(key, L"Flag", 2));
    const std::string text = hive.Text();
    EXPECT_EQ(text.find("\r"), std::string::npos);
    EXPECT_EQ(text.find("; a comment"), std::string::npos);
    EXPECT_NE(text.find("@=\"default\"\n\"Path\"=\"C:\\\\Program Files\\\\\\\"Q\\\"\"\n"
                        "\"Flag\"=dword:00000002\n\"Short\"=dword:00000001\n"
                        "\"Raw\"=hex(4):01,02,00,00\n"),
              std::string::npos);
    EXPECT_NE(text.find("\"Multi\"=hex(7):61,00,00,00,\\\n  00,00\n"
                        "\"Big\"=hex(b):01,00,00,00,00,00,00,00\n"),
              std::string::npos);
    EXPECT_NE(text.find("[HKEY_CURRENT_USER\\Software\\Korvane\\Pallaton\\Empty]\n"),
              std::string::npos);
    unsetenv("PALLATON_TEST_DIR");
}

TEST(RegistryHiveFile, UnparseableFileIsNeverOverwritten) {
    const std::string header = "Windows Registry Editor Version 5.00\n\n";
    const std::string broken[] = {
        "REGEDIT4\n\n[HKEY_CURRENT_USER\\A]\n",
        header + "\"v\"=dword:00000001\n",                     // value outside a section
        header + "[-HKEY_CURRENT_USER\\A]\n",                  // removal line
        header + "[HKEY_CURRENT_USER\\A]\n\"v\"=-\n",          // removal of a value
        header + "[HKEY_LOCAL_MACHINE\\A]\n",                  // another root
        header + "[HKEY_CURRENT_USER\\A]\n\"v\"=dword:\n",     // DWORD without digits
        header + "[HKEY_CURRENT_USER\\A]\n\"v\"=\"C:\\x\"\n",  // unknown escape
        header + "[HKEY_CURRENT_USER\\A]\n\"v\"=\"open\n",     // unterminated text
        header + "[HKEY_CURRENT_USER\\A]\n\"v\"=hex:01,\\\n",  // continuation at the end
        header + "[HKEY_CURRENT_USER\\A]\n\"v\"=hex:0g\n",     // bad byte
        header + "[HKEY_CURRENT_USER\\A\n",                    // unclosed section
        header + "[HKEY_CURRENT_USER\\A]\n\"v\"=\"\xC3\"\n",   // invalid UTF-8
    };
    for (const auto& text : broken) {
        SCOPED_TRACE(text);
        TestHive hive;
        hive.SetText(text);
        uint32_t number = 0;
        std::vector<std::wstring> names;
        EXPECT_FALSE(reg::ReadDword(L"A", L"v", number));
        EXPECT_FALSE(reg::EnumSubkeys(L"", names));
        EXPECT_FALSE(reg::WriteDword(L"A", L"v", 1));
        EXPECT_FALSE(reg::DeleteKeyTree(L"A"));
        EXPECT_EQ(hive.Text(), text);
    }
}

// Runs `check` in a child process that cannot write in the hive's folder (as another user when
// run as root, who writes everywhere) and returns whether it held.
bool InReadOnlyFolder(const TestHive& hive, const std::function<bool()>& check) {
    namespace fs = std::filesystem;
    // Readable by all, so that the other user reads what the owner would.
    fs::permissions(hive.Folder(), fs::perms(0555));
    fs::permissions(hive.HiveFile(), fs::perms(0644));
    pid_t child = fork();
    if (child == 0) {
        if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0))
            _exit(2);
        _exit(check() ? 0 : 1);
    }
    int status = -1;
    bool waited = child > 0 && waitpid(child, &status, 0) == child;
    fs::permissions(hive.Folder(), fs::perms(0700));
    return waited && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

TEST(RegistryHiveFile, ReadOnlyFolderWithoutLockFileStillReads) {
    TestHive hive;
    ASSERT_TRUE(reg::WriteDword(L"A\\B", L"v", 5));
    std::filesystem::remove(hive.Folder() / "HKEY_CURRENT_USER.reg.lock");
    EXPECT_TRUE(InReadOnlyFolder(hive, [] {
        uint32_t number = 0;
        std::vector<std::wstring> names;
        return reg::ReadDword(L"A\\B", L"v", number) && number == 5 &&
               reg::EnumSubkeys(L"A", names) && names == std::vector<std::wstring>{L"B"} &&
               reg::KeyExists(L"A") && !reg::WriteDword(L"A", L"w", 1);
    }));
    EXPECT_FALSE(std::filesystem::exists(hive.Folder() / "HKEY_CURRENT_USER.reg.lock"));
}

TEST(RegistryHiveFile, OnlyARegularFileIsAHive) {
    // A FIFO would block an ordinary open until a writer came; a folder reads as nothing.
    for (bool fifo : {true, false}) {
        SCOPED_TRACE(fifo ? "FIFO" : "folder");
        TestHive hive;
        std::filesystem::create_directories(hive.Folder());
        if (fifo) {
            ASSERT_EQ(mkfifo(hive.HiveFile().c_str(), 0600), 0);
        } else {
            std::filesystem::create_directory(hive.HiveFile());
        }
        uint32_t number = 0;
        std::vector<std::wstring> names;
        EXPECT_FALSE(reg::ReadDword(L"A", L"v", number));
        EXPECT_FALSE(reg::EnumSubkeys(L"", names));
        EXPECT_FALSE(reg::WriteDword(L"A", L"v", 1));
        auto type = std::filesystem::symlink_status(hive.HiveFile()).type();
        EXPECT_EQ(type,
                  fifo ? std::filesystem::file_type::fifo : std::filesystem::file_type::directory);
    }
}

// Collects what is written to standard error while it lives.
class StandardErrorCapture {
  public:
    StandardErrorCapture() : file_(std::tmpfile()), saved_(dup(2)) {
        std::fflush(stderr);
        dup2(fileno(file_), 2);
    }
    ~StandardErrorCapture() {
        Text();
        std::fclose(file_);
    }
    // Stops capturing and returns what was written.
    std::string Text() {
        if (saved_ >= 0) {
            std::fflush(stderr);
            dup2(saved_, 2);
            close(saved_);
            saved_ = -1;
        }
        std::string text;
        std::rewind(file_);
        for (int c; (c = std::fgetc(file_)) != EOF;)
            text += static_cast<char>(c);
        return text;
    }

  private:
    FILE* file_;
    int saved_;
};

size_t Count(const std::string& text, const std::string& part) {
    size_t count = 0;
    for (size_t pos = text.find(part); pos != std::string::npos; pos = text.find(part, pos + 1))
        ++count;
    return count;
}

TEST(RegistryHiveFile, RefusedHiveIsReportedOncePerVersion) {
    TestHive hive;
    const std::string header = "Windows Registry Editor Version 5.00\n\n";
    StandardErrorCapture capture;
    hive.SetText(header + "[HKEY_CURRENT_USER\\A]\n\"v\"=dword:x\n");
    uint32_t number = 0;
    for (int i = 0; i < 3; ++i)
        EXPECT_FALSE(reg::ReadDword(L"A", L"v", number));
    EXPECT_FALSE(reg::WriteDword(L"A", L"v", 1));
    hive.SetText(header + "[HKEY_CURRENT_USER\\A]\n\n[HKEY_CURRENT_USER\\B\n");
    EXPECT_FALSE(reg::ReadDword(L"A", L"v", number));
    EXPECT_FALSE(reg::ReadDword(L"A", L"v", number));
    const std::string text = capture.Text();
    EXPECT_EQ(Count(text, hive.HiveFile().string()), 2u) << text;
    EXPECT_EQ(Count(text, "line 4: a value that cannot be read"), 1u) << text;
    EXPECT_EQ(Count(text, "line 5: a key that cannot be read"), 1u) << text;
}

TEST(RegistryHiveFile, ChangesWriteThroughASymbolicLink) {
    TestHive hive;
    const std::filesystem::path elsewhere = hive.Folder().parent_path() / "elsewhere";
    std::filesystem::create_directories(elsewhere);
    std::filesystem::create_directories(hive.Folder());
    // A relative link to a link to a file that does not exist yet.
    std::filesystem::create_symlink("../elsewhere/first.reg", hive.HiveFile());
    std::filesystem::create_symlink(elsewhere / "real.reg", elsewhere / "first.reg");
    ASSERT_TRUE(reg::WriteDword(L"A", L"v", 1));
    ASSERT_TRUE(reg::WriteDword(L"A", L"w", 2));
    EXPECT_TRUE(std::filesystem::is_symlink(hive.HiveFile()));
    EXPECT_TRUE(std::filesystem::is_symlink(elsewhere / "first.reg"));
    EXPECT_TRUE(
        std::filesystem::is_regular_file(std::filesystem::symlink_status(elsewhere / "real.reg")));
    EXPECT_NE(hive.Text().find("\"v\"=dword:00000001\n\"w\"=dword:00000002\n"), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(elsewhere / "real.reg.tmp"));
    uint32_t number = 0;
    EXPECT_TRUE(reg::ReadDword(L"A", L"w", number) && number == 2);
}

TEST(RegistryHiveFile, FailedWriteIsReported) {
    TestHive hive;
    ASSERT_TRUE(reg::WriteDword(L"A", L"v", 1));
    const std::string before = hive.Text();
    // A folder where the temporary file goes: it can be neither removed nor created.
    std::filesystem::create_directories(hive.Folder() / "HKEY_CURRENT_USER.reg.tmp" / "x");
    StandardErrorCapture capture;
    EXPECT_FALSE(reg::WriteDword(L"A", L"v", 2));
    EXPECT_FALSE(reg::DeleteValue(L"A", L"absent"));  // nothing to change: not a failure
    const std::string text = capture.Text();
    EXPECT_EQ(Count(text, "Registry: the change is lost: cannot create " +
                              hive.HiveFile().string() + ".tmp"),
              1u)
        << text;
    EXPECT_EQ(Count(text, "Registry:"), 1u) << text;
    EXPECT_EQ(hive.Text(), before);
}

TEST(RegistryHiveFile, ChangesReplaceTheHiveBesideAStableLockFile) {
    TestHive hive;
    uint32_t number = 0;
    EXPECT_FALSE(reg::ReadDword(L"A", L"n", number));
    EXPECT_FALSE(std::filesystem::exists(hive.Folder()));  // reading creates nothing

    ASSERT_TRUE(reg::WriteDword(L"A", L"n", 1));
    const std::filesystem::path lock = hive.Folder() / "HKEY_CURRENT_USER.reg.lock";
    const ino_t lockInode = Inode(lock);
    const ino_t hiveInode = Inode(hive.HiveFile());
    ASSERT_NE(lockInode, 0u);
    ASSERT_TRUE(reg::WriteDword(L"A", L"n", 2));
    EXPECT_EQ(Inode(lock), lockInode);
    EXPECT_NE(Inode(hive.HiveFile()), hiveInode);  // replaced, never rewritten in place

    // A failed change does not replace the file.
    const ino_t replaced = Inode(hive.HiveFile());
    EXPECT_FALSE(reg::DeleteKeyTree(L"B"));
    EXPECT_FALSE(reg::DeleteValue(L"A", L"absent"));
    EXPECT_EQ(Inode(hive.HiveFile()), replaced);

    size_t entries = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(hive.Folder())) {
        ++entries;
    }
    EXPECT_EQ(entries, 2u);  // no temporary file left behind
}

TEST(RegistryHiveFile, EditsByOthersAreSeen) {
    TestHive hive;
    ASSERT_TRUE(reg::WriteDword(L"A", L"v", 1));
    uint32_t number = 0;
    ASSERT_TRUE(reg::ReadDword(L"A", L"v", number));
    const std::string header = "Windows Registry Editor Version 5.00\n\n[HKEY_CURRENT_USER\\A]\n";
    // Rewritten in place, same inode: once with another size, once with the same size and a
    // later modification time.
    hive.SetText(header + "\"v\"=dword:2\n");
    EXPECT_TRUE(reg::ReadDword(L"A", L"v", number));
    EXPECT_EQ(number, 2u);
    const auto modified = std::filesystem::last_write_time(hive.HiveFile());
    hive.SetText(header + "\"v\"=dword:3\n");
    std::filesystem::last_write_time(hive.HiveFile(), modified + std::chrono::seconds(1));
    EXPECT_TRUE(reg::ReadDword(L"A", L"v", number));
    EXPECT_EQ(number, 3u);
    // Replaced, as another process's change replaces it.
    const std::filesystem::path other = hive.Folder() / "other";
    std::ofstream(other, std::ios::binary) << header + "\"v\"=dword:4\n";
    std::filesystem::rename(other, hive.HiveFile());
    EXPECT_TRUE(reg::ReadDword(L"A", L"v", number));
    EXPECT_EQ(number, 4u);
    std::filesystem::remove(hive.HiveFile());
    EXPECT_FALSE(reg::ReadDword(L"A", L"v", number));
}

TEST(RegistryHiveFile, ThousandsOfApplicationKeysReadQuickly) {
    TestHive hive;
    constexpr int kKeys = 2000;
    std::string text = "Windows Registry Editor Version 5.00\n\n";
    for (int i = 0; i < kKeys; ++i) {
        std::string key = "[HKEY_CURRENT_USER\\Software\\Korvane\\App" + std::to_string(i) + "]\n";
        text += key + "\"version\"=\"1.0." + std::to_string(i) + "\"\n\"UpdateFlag\"=dword:1\n" +
                "\"Path\"=\"C:\\\\Games\\\\App" + std::to_string(i) + "\"\n\n";
    }
    hive.SetText(text);
    const auto start = std::chrono::steady_clock::now();
    std::vector<std::wstring> names;
    ASSERT_TRUE(reg::EnumSubkeys(L"Software\\Korvane", names));
    ASSERT_EQ(names.size(), static_cast<size_t>(kKeys));
    for (const auto& name : names) {
        const std::wstring key = L"Software\\Korvane\\" + name;
        const std::wstring number = name.substr(3);
        uint32_t flag = 0;
        ASSERT_EQ(ReadText(key, L"version"), L"1.0." + number);
        ASSERT_EQ(ReadText(key, L"Path"), L"C:\\Games\\" + name);
        ASSERT_TRUE(reg::ReadDword(key, L"UpdateFlag", flag) && flag == 1);
    }
    // Parsing the file for each of the 6,000 reads took many seconds.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
}

TEST(RegistryHiveFile, SortsNamesAsWindowsDoes) {
    TestHive hive;
    for (const wchar_t* name : {L"a_", L"aB", L"Z", L"\u00e9"}) {
        ASSERT_TRUE(reg::WriteDword(hive.Key(name), L"n", 1));
    }
    std::vector<std::wstring> names;
    ASSERT_TRUE(reg::EnumSubkeys(hive.Key(L""), names));
    EXPECT_EQ(names, (std::vector<std::wstring>{L"aB", L"a_", L"Z", L"\u00e9"}));
}

TEST(RegistryHiveFile, ConcurrentWritersAllLand) {
    TestHive hive;
    constexpr int kProcesses = 4;
    constexpr int kWrites = 25;
    std::vector<pid_t> children;
    for (int p = 0; p < kProcesses; ++p) {
        pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            bool ok = true;
            for (int i = 0; i < kWrites; ++i) {
                ok = reg::WriteDword(L"Concurrent", L"v" + std::to_wstring(p * kWrites + i),
                                     static_cast<uint32_t>(i)) &&
                     ok;
            }
            _exit(ok ? 0 : 1);
        }
        children.push_back(child);
    }
    for (pid_t child : children) {
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    for (int n = 0; n < kProcesses * kWrites; ++n) {
        uint32_t number = 99;
        EXPECT_TRUE(reg::ReadDword(L"Concurrent", L"V" + std::to_wstring(n), number)) << n;
        EXPECT_EQ(number, static_cast<uint32_t>(n % kWrites));
    }
}

TEST(RegistryHiveFile, ThreadsShareTheParsedHive) {
    TestHive hive;
    constexpr int kThreads = 4;
    constexpr int kWrites = 20;
    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, &failures] {
            const std::wstring key = L"Threads\\T" + std::to_wstring(t);
            for (int i = 0; i < kWrites; ++i) {
                uint32_t number = 0;
                std::vector<std::wstring> names;
                if (!reg::WriteDword(key, L"n", static_cast<uint32_t>(i)) ||
                    !reg::ReadDword(key, L"n", number) || number != static_cast<uint32_t>(i) ||
                    !reg::EnumSubkeys(L"Threads", names)) {
                    ++failures;
                }
            }
        });
    }
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(failures.load(), 0);
    std::vector<std::wstring> names;
    ASSERT_TRUE(reg::EnumSubkeys(L"Threads", names));
    EXPECT_EQ(names.size(), static_cast<size_t>(kThreads));
}

#endif  // _WIN32

}  // namespace
