#include "common/md5.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <type_traits>
#include <vector>

#include "base/utf8.h"
#include "install/md5_check.h"

namespace {

namespace fs = std::filesystem;

std::wstring DigestText(const std::string& message) {
    wchar_t text[260];
    EXPECT_TRUE(GetBufferMd5(reinterpret_cast<const unsigned char*>(message.data()),
                             static_cast<unsigned int>(message.size()), text, 260));
    return text;
}

std::string Repeat(const std::string& text, int times) {
    std::string result;
    for (int i = 0; i < times; ++i)
        result += text;
    return result;
}

TEST(Md5, RfcTestSuiteDigestsInLowerCase) {
    const std::pair<std::string, std::wstring> suite[] = {
        {"", L"d41d8cd98f00b204e9800998ecf8427e"},
        {"a", L"0cc175b9c0f1b6a831c399e269772661"},
        {"abc", L"900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", L"f96b697d7cb7938d525a2f31aaf161d0"},
        {"abcdefghijklmnopqrstuvwxyz", L"c3fcd3d76192e4007dfb496cca67e13b"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
         L"d174ab98d277d9f5a5611c2c9f419d9f"},
        {Repeat("1234567890", 8), L"57edf4a22be3c955ac49da2e2107b67a"},
        {std::string(1000000, 'a'), L"7707d6ae4e027c70eea2a935c2296f21"},
    };
    for (const auto& [message, digest] : suite)
        EXPECT_EQ(DigestText(message), digest) << message.substr(0, 20);
}

TEST(Md5, PiecesOfAnySizeGiveTheDigestOfTheWhole) {
    std::vector<unsigned char> message(300);
    for (size_t i = 0; i < message.size(); ++i)
        message[i] = static_cast<unsigned char>(i * 7);
    unsigned char whole[16];
    MD5_CTX once;
    once.MD5Update(message.data(), 300);
    once.MD5Final(whole);
    for (size_t piece : {1, 3, 55, 56, 63, 64, 65, 128, 129}) {
        MD5_CTX context;
        for (size_t at = 0; at < message.size(); at += piece) {
            size_t length = std::min(piece, message.size() - at);
            context.MD5Update(message.data() + at, static_cast<unsigned int>(length));
        }
        unsigned char digest[16];
        context.MD5Final(digest);
        EXPECT_EQ(std::memcmp(digest, whole, 16), 0) << piece;
    }
}

TEST(Md5, FinalLeavesTheObjectReadyForANewMessage) {
    MD5_CTX context;
    unsigned char first[16], second[16], fresh[16];
    context.MD5Update(reinterpret_cast<const unsigned char*>("something else"), 14);
    context.MD5Final(first);
    context.MD5Update(reinterpret_cast<const unsigned char*>("abc"), 3);
    context.MD5Final(second);
    MD5_CTX other;
    other.MD5Update(reinterpret_cast<const unsigned char*>("abc"), 3);
    other.MD5Final(fresh);
    EXPECT_EQ(std::memcmp(second, fresh, 16), 0);
    EXPECT_NE(std::memcmp(first, second, 16), 0);
}

TEST(Md5, BufferDigestIsCutToTheOutputBuffer) {
    const auto* abc = reinterpret_cast<const unsigned char*>("abc");
    wchar_t small[9];
    std::fill(std::begin(small), std::end(small), L'#');
    ASSERT_TRUE(GetBufferMd5(abc, 3, small, 9));
    EXPECT_EQ(std::wstring(small), L"90015098");
    EXPECT_FALSE(GetBufferMd5(abc, 3, nullptr, 260));
}

TEST(Md5, DigestTextsCompareWithoutRegardToLetterCase) {
    EXPECT_TRUE(
        IsSameMd5Text(L"900150983CD24FB0D6963F7D28E17F72", L"900150983cd24fb0d6963f7d28e17f72"));
    EXPECT_FALSE(
        IsSameMd5Text(L"900150983cd24fb0d6963f7d28e17f7", L"900150983cd24fb0d6963f7d28e17f72"));
    EXPECT_FALSE(IsSameMd5Text(L"", L""));
    EXPECT_FALSE(IsSameMd5Text(nullptr, L"900150983cd24fb0d6963f7d28e17f72"));
    EXPECT_FALSE(IsSameMd5Text(L"900150983cd24fb0d6963f7d28e17f72", nullptr));
}

class CheckFileMd5Test : public testing::Test {
  protected:
    void SetUp() override {
        folder_ =
            fs::temp_directory_path() / ("pallaton-md5-" + std::to_string(std::random_device{}()));
        fs::create_directories(folder_);
    }
    void TearDown() override { fs::remove_all(folder_); }

    // The name goes to the file system as the updater's own paths do: wide on Windows, UTF-8
    // on Linux, whatever the test's locale.
    std::wstring Put(const std::wstring& name, const std::string& bytes) {
        fs::path path = folder_;
        if constexpr (std::is_same_v<fs::path::value_type, char>) {
            std::string narrow;
            utf8::Encode(name, narrow);
            path /= narrow;
        } else {
            path /= name;
        }
        std::ofstream(path, std::ios::binary) << bytes;
        return folder_.wstring() + static_cast<wchar_t>(fs::path::preferred_separator) + name;
    }

    fs::path folder_;
};

TEST_F(CheckFileMd5Test, PassesOnlyForTheFilesDigest) {
    std::wstring file = Put(L"abc.bin", "abc");
    EXPECT_TRUE(CheckFileMd5(file, L"900150983cd24fb0d6963f7d28e17f72"));
    EXPECT_TRUE(CheckFileMd5(file, L"900150983CD24FB0D6963F7D28E17F72"));
    EXPECT_FALSE(CheckFileMd5(file, L"0cc175b9c0f1b6a831c399e269772661"));
    EXPECT_FALSE(CheckFileMd5(file, L""));
}

TEST_F(CheckFileMd5Test, EmptyMissingAndFolderPathsNeverPass) {
    EXPECT_FALSE(CheckFileMd5(Put(L"empty.bin", ""), L"d41d8cd98f00b204e9800998ecf8427e"));
    EXPECT_FALSE(
        CheckFileMd5((folder_ / "none.bin").wstring(), L"d41d8cd98f00b204e9800998ecf8427e"));
    EXPECT_FALSE(CheckFileMd5(folder_.wstring(), L"d41d8cd98f00b204e9800998ecf8427e"));
}

TEST_F(CheckFileMd5Test, LargeFilesAndNonAsciiNamesAreDigestedWhole) {
    // Longer than several read blocks and not a multiple of one.
    std::string content(3 * 256 * 1024 + 1000, '\0');
    std::mt19937 random(7);
    for (char& c : content)
        c = static_cast<char>(random());
    std::wstring file = Put(L"p\u00e4ckage-\u6e38\u620f.exe", content);
    EXPECT_TRUE(CheckFileMd5(file, DigestText(content)));
    content.back() ^= 1;
    EXPECT_FALSE(CheckFileMd5(file, DigestText(content)));
}

}  // namespace
