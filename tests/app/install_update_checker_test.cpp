#include "app/install_update_checker.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#ifndef _WIN32
#include <unistd.h>
#endif

namespace {

// Each test uses names of its own so that it never meets a real updater on the machine.
class InstallUpdateChecker : public testing::Test {
  protected:
    void SetUp() override {
#ifndef _WIN32
        folder_ = testing::TempDir() + "mutex-" + std::to_string(::getpid());
        std::string command = "mkdir -p '" + folder_ + "'";
        ASSERT_EQ(std::system(command.c_str()), 0);
        setenv("XDG_RUNTIME_DIR", folder_.c_str(), 1);
#endif
    }
    std::string folder_;
};

TEST_F(InstallUpdateChecker, KeepsTheUpdateMutexFromTheStartUpTest) {
    CInstallUpdateChecker first;
    ASSERT_FALSE(first.IsUpdaterRunning());
    EXPECT_TRUE(platform::NamedMutexExists(kUpdateMutexName));

    // A second updater sees the name while the first keeps its handle.
    CInstallUpdateChecker second;
    EXPECT_TRUE(second.IsUpdaterRunning());
    EXPECT_TRUE(platform::NamedMutexExists(kUpdateMutexName));

    first.CloseUpdateMutex();
    EXPECT_FALSE(platform::NamedMutexExists(kUpdateMutexName));
    CInstallUpdateChecker third;
    EXPECT_FALSE(third.IsUpdaterRunning());
    third.CloseUpdateMutex();
}

TEST_F(InstallUpdateChecker, InstallMutexExistsUntilItsHandleCloses) {
    CInstallUpdateChecker checker;
    platform::MutexHandle install = checker.CreateInstallMutex();
    ASSERT_NE(install, nullptr);
    EXPECT_TRUE(platform::NamedMutexExists(kInstallMutexName));
    platform::CloseNamedMutex(install);
    EXPECT_FALSE(platform::NamedMutexExists(kInstallMutexName));
}

}  // namespace
