#include "platform/named_mutex.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
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

}  // namespace
