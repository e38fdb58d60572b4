#include "update/package_record.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "common/file_digest.h"
#include "support/fixture_files.h"

namespace {

namespace fs = std::filesystem;

class PackagePresence : public testing::Test {
  protected:
    // Writes the package file and keeps its digest and size.
    void SetUp() override {
        std::ofstream(package_, std::ios::binary) << "the package an earlier run downloaded";
        uint64_t size = 0;
        ASSERT_TRUE(ComputeFileMd5(package_.wstring(), md5_, size));
        size_ = static_cast<int64_t>(size);
    }

    fixtures::ScratchFolder folder_;
    fs::path package_ = folder_.path() / "setup_101.exe";
    std::wstring md5_;
    int64_t size_ = 0;
};

#ifndef _WIN32
// Whatever is found present is run by the install pass: a link planted at the destination would
// have the file it names run, so only the file itself counts.
TEST_F(PackagePresence, LinuxLinkToTheRightFileIsNotThePackage) {
    ASSERT_TRUE(IsPackageAlreadyPresent(package_.wstring(), size_, md5_));
    fs::path link = folder_.path() / "setup_205.exe";
    fs::create_symlink(package_, link);
    EXPECT_FALSE(IsPackageAlreadyPresent(link.wstring(), size_, md5_));
    EXPECT_FALSE(IsPackageAlreadyPresent(link.wstring(), 0, md5_));
}
#endif

}  // namespace
