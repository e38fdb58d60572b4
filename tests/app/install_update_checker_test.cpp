#include "app/install_update_checker.h"

#include <gtest/gtest.h>

#include <string>

#include "support/scratch.h"

namespace {

// Each test has a profile of its own (on Linux, its own folder of named mutexes), so that it never
// meets a real updater on the machine.
class InstallUpdateChecker : public testing::Test {
  protected:
    fixtures::ScratchProfile profile_;
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
