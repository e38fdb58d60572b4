// The install pass's digest check of a downloaded file.
#include "install/md5_check.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <type_traits>

#include "base/utf8.h"
#include "common/md5.h"
#include "support/scratch.h"

namespace {

namespace fs = std::filesystem;

std::wstring DigestOf(const std::string& bytes) {
    wchar_t text[33];
    GetBufferMd5(reinterpret_cast<const unsigned char*>(bytes.data()),
                 static_cast<unsigned int>(bytes.size()), text, 33);
    return text;
}

TEST(GetBufferMd5, TheDigestIsCutToTheOutputBuffer) {
    const auto* abc = reinterpret_cast<const unsigned char*>("abc");
    wchar_t small[9];
    std::fill(std::begin(small), std::end(small), L'#');
    ASSERT_TRUE(GetBufferMd5(abc, 3, small, 9));
    EXPECT_EQ(std::wstring(small), L"90015098");
    EXPECT_FALSE(GetBufferMd5(abc, 3, nullptr, 260));
}

class CheckFileMd5Test : public testing::Test {
  protected:
    // The name goes to the file system as the updater's own paths do: wide on Windows, UTF-8
    // on Linux, whatever the test's locale.
    std::wstring Put(const std::wstring& name, const std::string& bytes) {
        fs::path path = scratch_.path();
        if constexpr (std::is_same_v<fs::path::value_type, char>) {
            std::string narrow;
            utf8::Encode(name, narrow);
            path /= narrow;
        } else {
            path /= name;
        }
        std::ofstream(path, std::ios::binary) << bytes;
        return scratch_.Wide() + static_cast<wchar_t>(fs::path::preferred_separator) + name;
    }

    fixtures::ScratchFolder scratch_;
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
    EXPECT_FALSE(CheckFileMd5(scratch_.Wide(L"none.bin"), L"d41d8cd98f00b204e9800998ecf8427e"));
    EXPECT_FALSE(CheckFileMd5(scratch_.Wide(), L"d41d8cd98f00b204e9800998ecf8427e"));
}

TEST_F(CheckFileMd5Test, LargeFilesAndNonAsciiNamesAreDigestedWhole) {
    // Longer than several read blocks and not a multiple of one.
    std::string content(3 * 256 * 1024 + 1000, '\0');
    std::mt19937 random(7);
    for (char& c : content)
        c = static_cast<char>(random());
    std::wstring file = Put(L"p\u00e4ckage-\u6e38\u620f.exe", content);
    EXPECT_TRUE(CheckFileMd5(file, DigestOf(content)));
    content.back() ^= 1;
    EXPECT_FALSE(CheckFileMd5(file, DigestOf(content)));
}

}  // namespace
