// The per-thread message loop of both targets: posting order across targets and threads, quit
// handling, timers on the owning thread, waiting and waking, and destroyed targets. On Linux also
// the calls handed to a loop thread and the descriptors it serves.
#include "platform/message_loop.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#ifndef _WIN32
#include <sys/eventfd.h>
#include <unistd.h>

#include "platform/posix/message_loop_internal.h"
#endif

namespace loop = platform;

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint32_t kInstallMessage = 3023;
constexpr uint32_t kThreadQuitMessage = 3025;

// What the targets' handlers and timers saw, in order, on which thread.
struct Seen {
    loop::MessageTarget target;
    uint32_t message;
    uintptr_t wParam;
    std::thread::id thread;
};
thread_local std::vector<Seen>* g_seen = nullptr;
std::vector<Seen> g_timerCalls;

intptr_t RecordingProc(loop::MessageTarget target, uint32_t message, uintptr_t wParam,
                       intptr_t lParam) {
    if (message >= loop::kFirstUserMessage && g_seen != nullptr)
        g_seen->push_back({target, message, wParam, std::this_thread::get_id()});
    return loop::DefaultMessageProc(target, message, wParam, lParam);
}

void RecordingTimer(loop::MessageTarget target, uintptr_t id) {
    g_timerCalls.push_back({target, loop::kTimerMessage, id, std::this_thread::get_id()});
}

class MessageLoopTest : public ::testing::Test {
  protected:
    void SetUp() override {
        g_seen = &seen_;
        g_timerCalls.clear();
        first_ = loop::CreateMessageTarget(loop::GetProcessModuleInstance(),
                                           L"PallatonLoopTestFirst", &RecordingProc);
        second_ = loop::CreateMessageTarget(loop::GetProcessModuleInstance(),
                                            L"PallatonLoopTestSecond", &RecordingProc);
        ASSERT_NE(nullptr, first_);
        ASSERT_NE(nullptr, second_);
    }
    void TearDown() override {
        loop::DestroyMessageTarget(first_);
        loop::DestroyMessageTarget(second_);
        // Leave no message behind for the next test.
        loop::LoopMessage message;
        while (loop::PeekLoopMessage(message)) {
        }
        g_seen = nullptr;
    }

    // Takes and dispatches messages until GetLoopMessage reports a quit; false if it never does
    // within the time.
    bool RunUntilQuit(int timeoutMs = 5000) {
        auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        loop::LoopMessage message;
        while (Clock::now() < deadline) {
            if (!loop::GetLoopMessage(message))
                return true;
            loop::DispatchLoopMessage(message);
        }
        return false;
    }

    void DispatchFor(int ms) {
        auto deadline = Clock::now() + std::chrono::milliseconds(ms);
        loop::LoopMessage message;
        while (Clock::now() < deadline) {
            loop::WaitForLoopMessage(5);
            while (loop::PeekLoopMessage(message))
                loop::DispatchLoopMessage(message);
        }
    }

    std::vector<Seen> seen_;
    loop::MessageTarget first_ = nullptr;
    loop::MessageTarget second_ = nullptr;
};

TEST_F(MessageLoopTest, PostedMessagesArriveInPostingOrderUntilTheQuit) {
    // The run's end as the update controller posts it: install, thread quit, then WM_QUIT.
    ASSERT_TRUE(loop::PostLoopMessage(second_, kInstallMessage, 1, 0));
    ASSERT_TRUE(loop::PostLoopMessage(first_, kThreadQuitMessage, 2, 0));
    ASSERT_TRUE(loop::PostLoopMessage(second_, kInstallMessage, 3, 0));
    ASSERT_TRUE(loop::PostLoopMessage(second_, loop::kQuitMessage, 0, 0));
    ASSERT_TRUE(loop::PostLoopMessage(first_, kThreadQuitMessage, 4, 0));
    ASSERT_TRUE(RunUntilQuit());
    ASSERT_EQ(3u, seen_.size());
    EXPECT_EQ(second_, seen_[0].target);
    EXPECT_EQ(1u, seen_[0].wParam);
    EXPECT_EQ(first_, seen_[1].target);
    EXPECT_EQ(kThreadQuitMessage, seen_[1].message);
    EXPECT_EQ(3u, seen_[2].wParam);
}

// Each target's handler finds the context its owner made it with, and only that one.
intptr_t ContextRecordingProc(loop::MessageTarget target, uint32_t message, uintptr_t wParam,
                              intptr_t lParam) {
    if (message >= loop::kFirstUserMessage) {
        auto* seen = static_cast<std::vector<void*>*>(loop::GetTargetContext(target));
        if (seen != nullptr)
            seen->push_back(reinterpret_cast<void*>(wParam));
    }
    return loop::DefaultMessageProc(target, message, wParam, lParam);
}

TEST_F(MessageLoopTest, HandlersFindTheContextOfTheirOwnTarget) {
    std::vector<void*> firstSeen;
    std::vector<void*> secondSeen;
    const loop::ModuleInstance instance = loop::GetProcessModuleInstance();
    loop::MessageTarget first = loop::CreateMessageTarget(instance, L"PallatonLoopTestContext",
                                                          &ContextRecordingProc, &firstSeen);
    loop::MessageTarget second = loop::CreateMessageTarget(instance, L"PallatonLoopTestContext",
                                                           &ContextRecordingProc, &secondSeen);
    loop::MessageTarget without =
        loop::CreateMessageTarget(instance, L"PallatonLoopTestContext", &ContextRecordingProc);
    ASSERT_NE(nullptr, first);
    ASSERT_NE(nullptr, second);
    ASSERT_NE(nullptr, without);
    EXPECT_EQ(nullptr, loop::GetTargetContext(without));
    ASSERT_TRUE(loop::PostLoopMessage(second, kInstallMessage, 2, 0));
    ASSERT_TRUE(loop::PostLoopMessage(without, kInstallMessage, 3, 0));
    ASSERT_TRUE(loop::PostLoopMessage(first, kInstallMessage, 1, 0));
    ASSERT_TRUE(loop::PostLoopMessage(first, loop::kQuitMessage, 0, 0));
    EXPECT_TRUE(RunUntilQuit());
    EXPECT_EQ(std::vector<void*>{reinterpret_cast<void*>(1)}, firstSeen);
    EXPECT_EQ(std::vector<void*>{reinterpret_cast<void*>(2)}, secondSeen);
    for (loop::MessageTarget target : {first, second, without})
        loop::DestroyMessageTarget(target);
}

TEST_F(MessageLoopTest, OtherThreadsPostAndWakeABlockedLoop) {
    std::thread poster([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        for (uintptr_t i = 0; i < 100; ++i)
            loop::PostLoopMessage(i % 2 == 0 ? first_ : second_, kInstallMessage, i, 0);
        loop::PostLoopMessage(first_, loop::kQuitMessage, 0, 0);
    });
    EXPECT_TRUE(RunUntilQuit());
    poster.join();
    ASSERT_EQ(100u, seen_.size());
    for (uintptr_t i = 0; i < seen_.size(); ++i) {
        EXPECT_EQ(i, seen_[i].wParam);
        EXPECT_EQ(i % 2 == 0 ? first_ : second_, seen_[i].target);
        EXPECT_EQ(std::this_thread::get_id(), seen_[i].thread);
    }
}

TEST_F(MessageLoopTest, QuitRequestComesAfterTheMessagesPostedBefore) {
    loop::PostLoopMessage(first_, kInstallMessage, 1, 0);
    loop::PostQuitToLoop(7);
    loop::LoopMessage message;
    ASSERT_TRUE(loop::GetLoopMessage(message));
    loop::DispatchLoopMessage(message);
    EXPECT_FALSE(loop::GetLoopMessage(message));
    EXPECT_EQ(loop::kQuitMessage, message.message);
    EXPECT_EQ(7u, message.wParam);
    EXPECT_EQ(1u, seen_.size());
}

TEST_F(MessageLoopTest, PeekNeverWaits) {
    loop::LoopMessage message;
    auto start = Clock::now();
    EXPECT_FALSE(loop::PeekLoopMessage(message));
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(100));
    loop::PostLoopMessage(first_, kInstallMessage, 9, 0);
    ASSERT_TRUE(loop::PeekLoopMessage(message));
    EXPECT_EQ(first_, message.target);
    EXPECT_EQ(9u, message.wParam);
    EXPECT_FALSE(loop::PeekLoopMessage(message));
}

TEST_F(MessageLoopTest, TimersFireOnTheOwningThreadUntilKilled) {
    ASSERT_TRUE(loop::SetLoopTimer(first_, 1, 20, &RecordingTimer));
    ASSERT_TRUE(loop::SetLoopTimer(second_, 1, 20, &RecordingTimer));
    DispatchFor(200);
    int firstCalls = 0;
    for (const Seen& call : g_timerCalls) {
        EXPECT_EQ(std::this_thread::get_id(), call.thread);
        EXPECT_EQ(1u, call.wParam);
        firstCalls += call.target == first_;
    }
    EXPECT_GE(firstCalls, 3);
    EXPECT_LE(firstCalls, 11);

    EXPECT_TRUE(loop::KillLoopTimer(first_, 1));
    EXPECT_FALSE(loop::KillLoopTimer(first_, 1));
    EXPECT_TRUE(loop::KillLoopTimer(second_, 1));
    DispatchFor(30);  // a timer message taken before the kill may still be dispatched
    g_timerCalls.clear();
    DispatchFor(100);
    EXPECT_TRUE(g_timerCalls.empty());
}

TEST_F(MessageLoopTest, ReArmingATimerStartsItsPeriodAgain) {
    ASSERT_TRUE(loop::SetLoopTimer(first_, 5, 150, &RecordingTimer));
    DispatchFor(100);
    ASSERT_TRUE(loop::SetLoopTimer(first_, 5, 150, &RecordingTimer));
    DispatchFor(100);
    // 200 ms have passed, but never 150 ms since the timer was last armed.
    EXPECT_TRUE(g_timerCalls.empty());
    DispatchFor(100);
    EXPECT_EQ(1u, g_timerCalls.size());
    loop::KillLoopTimer(first_, 5);
}

TEST_F(MessageLoopTest, TimersOfAnotherThreadsTargetCannotBeArmedHere) {
    bool armed = true;
    std::thread([this, &armed] {
        armed = loop::SetLoopTimer(first_, 1, 10, &RecordingTimer);
    }).join();
    EXPECT_FALSE(armed);
}

TEST_F(MessageLoopTest, WaitEndsOnTimeOutOrWakeUp) {
    auto start = Clock::now();
    EXPECT_FALSE(loop::WaitForLoopMessage(80));
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(70));

    loop::LoopThreadId self = loop::GetCurrentLoopThread();
    std::thread waker([self] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        EXPECT_TRUE(loop::WakeLoopThread(self));
    });
    start = Clock::now();
    EXPECT_TRUE(loop::WaitForLoopMessage(5000));
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(2000));
    waker.join();
    // The wake-up is a message without target that dispatching ignores.
    loop::LoopMessage message;
    ASSERT_TRUE(loop::PeekLoopMessage(message));
    EXPECT_EQ(nullptr, message.target);
    EXPECT_EQ(loop::kNullMessage, message.message);
    loop::DispatchLoopMessage(message);
    EXPECT_TRUE(seen_.empty());
}

TEST_F(MessageLoopTest, DestroyedTargetsTakeNoMoreMessages) {
    loop::PostLoopMessage(first_, kInstallMessage, 1, 0);
    loop::DestroyMessageTarget(first_);
    EXPECT_FALSE(loop::PostLoopMessage(first_, kInstallMessage, 2, 0));
    first_ = nullptr;
    loop::PostLoopMessage(second_, loop::kQuitMessage, 0, 0);
    EXPECT_TRUE(RunUntilQuit());
    EXPECT_TRUE(seen_.empty());
}

#ifndef _WIN32
TEST_F(MessageLoopTest, HandedOverCallsRunInOrderOnTheLoopThread) {
    loop::LoopThreadId self = loop::GetCurrentLoopThread();
    std::vector<int> order;
    std::thread::id owner = std::this_thread::get_id();
    std::thread helper([&] {
        for (int i = 0; i < 5; ++i) {
            EXPECT_TRUE(platform::posix::RunOnLoopThread(self, [&order, i, owner] {
                EXPECT_EQ(owner, std::this_thread::get_id());
                order.push_back(i);
            }));
        }
        loop::PostLoopMessage(first_, loop::kQuitMessage, 0, 0);
    });
    EXPECT_TRUE(RunUntilQuit());
    helper.join();
    EXPECT_EQ((std::vector<int>{0, 1, 2, 3, 4}), order);

    // On the loop thread itself the call runs at once.
    bool ran = false;
    platform::posix::RunOnLoopThread(self, [&ran] { ran = true; });
    EXPECT_TRUE(ran);
}

TEST_F(MessageLoopTest, ReadableDescriptorsAreServedWhileWaiting) {
    int fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    ASSERT_GE(fd, 0);
    std::atomic<int> served{0};
    int id = platform::posix::AddLoopSource({fd, nullptr, [&served, fd] {
                                                 uint64_t count = 0;
                                                 if (read(fd, &count, sizeof count) > 0)
                                                     served += static_cast<int>(count);
                                             }});
    std::thread writer([fd] {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        uint64_t three = 3;
        EXPECT_EQ(static_cast<ssize_t>(sizeof three), write(fd, &three, sizeof three));
    });
    DispatchFor(150);
    writer.join();
    EXPECT_EQ(3, served.load());
    platform::posix::RemoveLoopSource(id);
    close(fd);
}
#endif

}  // namespace
