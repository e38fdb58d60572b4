#include "platform/thread.h"

#include <gtest/gtest.h>

#include <atomic>

#include "platform/clock.h"

namespace {

struct Probe {
    std::atomic<int> runs{0};
    std::atomic<bool> release{false};
    unsigned exitCode = 7;
};

unsigned CountRun(void* argument) {
    auto* probe = static_cast<Probe*>(argument);
    ++probe->runs;
    return probe->exitCode;
}

// Runs until released, or for at most a minute, so that a failed test never leaves it behind.
unsigned RunUntilReleased(void* argument) {
    auto* probe = static_cast<Probe*>(argument);
    ++probe->runs;
    uint32_t start = platform::GetTickCount32();
    while (!probe->release && platform::GetTickCount32() - start < 60000)
        platform::SleepMilliseconds(5);
    return probe->exitCode;
}

TEST(WorkerThread, SuspendedThreadRunsOnlyAfterResume) {
    Probe probe;
    platform::ThreadHandle thread = platform::CreateWorkerThread(&CountRun, &probe, true);
    ASSERT_NE(thread, nullptr);
    EXPECT_EQ(platform::WaitForThread(thread, 100), platform::kWaitTimeout);
    EXPECT_EQ(probe.runs, 0);
    uint32_t code = 0;
    ASSERT_TRUE(platform::GetThreadExitCode(thread, code));
    EXPECT_EQ(code, platform::kThreadStillActive);

    ASSERT_TRUE(platform::ResumeWorkerThread(thread));
    EXPECT_EQ(platform::WaitForThread(thread, 5000), platform::kWaitSignalled);
    EXPECT_EQ(probe.runs, 1);
    ASSERT_TRUE(platform::GetThreadExitCode(thread, code));
    EXPECT_EQ(code, 7u);
    platform::CloseThreadHandle(thread);
}

TEST(WorkerThread, WaitTimesOutWhileTheThreadRunsAndEndsWhenItEnds) {
    Probe probe;
    platform::ThreadHandle thread = platform::CreateWorkerThread(&RunUntilReleased, &probe, false);
    ASSERT_NE(thread, nullptr);
    uint32_t start = platform::GetTickCount32();
    EXPECT_EQ(platform::WaitForThread(thread, 200), platform::kWaitTimeout);
    EXPECT_GE(platform::GetTickCount32() - start, 150u);
    probe.release = true;
    EXPECT_EQ(platform::WaitForThread(thread, platform::kWaitInfinite), platform::kWaitSignalled);
    platform::CloseThreadHandle(thread);
}

TEST(WorkerThread, DuplicateOutlivesTheClosedOriginal) {
    Probe probe;
    platform::ThreadHandle thread = platform::CreateWorkerThread(&RunUntilReleased, &probe, false);
    ASSERT_NE(thread, nullptr);
    platform::ThreadHandle duplicate = platform::DuplicateThreadHandle(thread);
    ASSERT_NE(duplicate, nullptr);
    // The command closes its handle while someone else still waits through a duplicate.
    platform::CloseThreadHandle(thread);
    EXPECT_EQ(platform::WaitForThread(duplicate, 50), platform::kWaitTimeout);
    probe.release = true;
    EXPECT_EQ(platform::WaitForThread(duplicate, 5000), platform::kWaitSignalled);
    uint32_t code = 0;
    ASSERT_TRUE(platform::GetThreadExitCode(duplicate, code));
    EXPECT_EQ(code, 7u);
    platform::CloseThreadHandle(duplicate);
}

TEST(WorkerThread, WaitForAllEndsOnlyWhenEveryThreadHasEnded) {
    Probe quick, slow;
    platform::ThreadHandle threads[] = {
        platform::CreateWorkerThread(&CountRun, &quick, false),
        platform::CreateWorkerThread(&RunUntilReleased, &slow, false),
    };
    ASSERT_NE(threads[0], nullptr);
    ASSERT_NE(threads[1], nullptr);
    EXPECT_EQ(platform::WaitForAllThreads(threads, 2, 200), platform::kWaitTimeout);
    slow.release = true;
    EXPECT_EQ(platform::WaitForAllThreads(threads, 2, platform::kWaitInfinite),
              platform::kWaitSignalled);
    EXPECT_EQ(quick.runs + slow.runs, 2);
    for (platform::ThreadHandle thread : threads)
        platform::CloseThreadHandle(thread);
}

TEST(WorkerThread, NullHandlesFailInsteadOfEndingAWaitEarly) {
    EXPECT_EQ(platform::WaitForThread(nullptr, 0), platform::kWaitFailed);
    Probe probe;
    platform::ThreadHandle threads[] = {
        platform::CreateWorkerThread(&RunUntilReleased, &probe, false), nullptr};
    EXPECT_EQ(platform::WaitForAllThreads(threads, 2, 0), platform::kWaitFailed);
    probe.release = true;
    EXPECT_EQ(platform::WaitForAllThreads(threads, 1, 5000), platform::kWaitSignalled);
    platform::CloseThreadHandle(threads[0]);
}

TEST(WorkerThread, ForcedTerminationEndsTheThreadOnlyWhereThePlatformCan) {
    Probe probe;
    platform::ThreadHandle thread = platform::CreateWorkerThread(&RunUntilReleased, &probe, false);
    ASSERT_NE(thread, nullptr);
    uint32_t start = platform::GetTickCount32();
    while (probe.runs == 0 && platform::GetTickCount32() - start < 30000)
        platform::SleepMilliseconds(1);
    ASSERT_NE(probe.runs.load(), 0);
    if (platform::TerminateThreadAsLastResort(thread, 0xFFFFFFFFu)) {
        EXPECT_EQ(platform::WaitForThread(thread, 5000), platform::kWaitSignalled);
        uint32_t code = 0;
        ASSERT_TRUE(platform::GetThreadExitCode(thread, code));
        EXPECT_EQ(code, 0xFFFFFFFFu);
    } else {
        // Linux: the thread is left untouched and still runs.
        EXPECT_EQ(platform::WaitForThread(thread, 50), platform::kWaitTimeout);
        probe.release = true;
        EXPECT_EQ(platform::WaitForThread(thread, 5000), platform::kWaitSignalled);
    }
    platform::CloseThreadHandle(thread);
}

TEST(Clock, TickCountFollowsSleeps) {
    uint32_t start = platform::GetTickCount32();
    platform::SleepMilliseconds(120);
    uint32_t elapsed = platform::GetTickCount32() - start;
    // GetTickCount has a granularity of about 16 ms.
    EXPECT_GE(elapsed, 100u);
    EXPECT_LT(elapsed, 2000u);
}

}  // namespace
