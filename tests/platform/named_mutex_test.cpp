#include "platform/named_mutex.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "support/scratch.h"
#endif

namespace {

// Names of the test's own, so that it never meets a real updater on the machine.
std::wstring TestName(const wchar_t* what) {
#ifdef _WIN32
    return std::wstring(L"PallatonTest") + what + std::to_wstring(GetCurrentProcessId());
#else
    return std::wstring(L"PallatonTest") + what + std::to_wstring(::getpid());
#endif
}

}  // namespace

namespace {

TEST(NamedMutex, AnOpenedNameOutlivesItsCreatorUntilTheLastHandleCloses) {
    const std::wstring name = TestName(L"Outlive");
    bool existed = true;
    platform::MutexHandle creator = platform::CreateNamedMutex(name, true, existed);
    ASSERT_NE(creator, nullptr);
    EXPECT_FALSE(existed);
    platform::MutexHandle opener = platform::CreateNamedMutex(name, true, existed);
    ASSERT_NE(opener, nullptr);
    EXPECT_TRUE(existed);

    platform::CloseNamedMutex(creator);
    EXPECT_TRUE(platform::NamedMutexExists(name));
    platform::MutexHandle third = platform::CreateNamedMutex(name, true, existed);
    EXPECT_TRUE(existed);
    platform::CloseNamedMutex(third);
    EXPECT_TRUE(platform::NamedMutexExists(name));
    platform::CloseNamedMutex(opener);
    EXPECT_FALSE(platform::NamedMutexExists(name));
}

TEST(NamedMutex, OfManySimultaneousCreatorsExactlyOneCreates) {
    const std::wstring name = TestName(L"Race");
    constexpr int kThreads = 8;
    std::vector<platform::MutexHandle> handles(kThreads, nullptr);
    std::atomic<int> created{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&, i] {
            bool existed = true;
            handles[i] = platform::CreateNamedMutex(name, true, existed);
            if (handles[i] != nullptr && !existed)
                ++created;
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(created.load(), 1);
    for (platform::MutexHandle handle : handles) {
        EXPECT_NE(handle, nullptr);
        platform::CloseNamedMutex(handle);
    }
    EXPECT_FALSE(platform::NamedMutexExists(name));
}

#ifndef _WIN32
namespace fs = std::filesystem;

// Without XDG_RUNTIME_DIR the lock files go to a folder of the user's own below TMPDIR.
class PrivateLockFolder : public testing::Test {
  protected:
    fixtures::ScratchFolder scratchFolder_;
    fs::path scratch_ = scratchFolder_.path();
    fixtures::ScopedEnvironment runtime_{"XDG_RUNTIME_DIR", std::nullopt};
    fixtures::ScopedEnvironment tmp_{"TMPDIR", scratch_.string()};
    fs::path own_ = scratch_ / ("pallaton-" + std::to_string(::getuid()));
};

TEST_F(PrivateLockFolder, IsCreatedForTheUserAlone) {
    bool existed = true;
    platform::MutexHandle mutex = platform::CreateNamedMutex(L"PallatonTestOwn", true, existed);
    ASSERT_NE(mutex, nullptr);
    struct stat status {};
    ASSERT_EQ(lstat(own_.c_str(), &status), 0);
    EXPECT_TRUE(S_ISDIR(status.st_mode));
    EXPECT_EQ(status.st_mode & 0777, 0700u);
    EXPECT_EQ(status.st_uid, ::getuid());
    EXPECT_TRUE(fs::exists(own_ / "PallatonTestOwn.lock"));
    EXPECT_TRUE(platform::NamedMutexExists(L"PallatonTestOwn"));
    platform::CloseNamedMutex(mutex);
}

TEST_F(PrivateLockFolder, AFolderOthersCouldChangeIsRefused) {
    bool existed = false;
    // Writable by others.
    fs::create_directory(own_);
    ASSERT_EQ(chmod(own_.c_str(), 0777), 0);
    EXPECT_EQ(platform::CreateNamedMutex(L"PallatonTestShared", true, existed), nullptr);
    EXPECT_FALSE(platform::NamedMutexExists(L"PallatonTestShared"));
    // A link, even to a folder of the user's own.
    fs::remove(own_);
    fs::create_directory(scratch_ / "elsewhere");
    ASSERT_EQ(chmod((scratch_ / "elsewhere").c_str(), 0700), 0);
    fs::create_directory_symlink(scratch_ / "elsewhere", own_);
    EXPECT_EQ(platform::CreateNamedMutex(L"PallatonTestShared", true, existed), nullptr);
    // Another user's folder.
    if (::getuid() == 0) {
        fs::remove(own_);
        fs::create_directory(own_);
        ASSERT_EQ(chmod(own_.c_str(), 0700), 0);
        ASSERT_EQ(chown(own_.c_str(), 12345, 12345), 0);
        EXPECT_EQ(platform::CreateNamedMutex(L"PallatonTestShared", true, existed), nullptr);
    }
}
#endif

}  // namespace
