#include "http/http_task_manager.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>

#include "platform/clock.h"
#include "support/test_servers.h"

namespace {

// A stand-in task: it runs until released (or for a given time), then unregisters itself and
// closes its own handle, as a command does.
struct FakeTask {
    CHttpTaskManager* manager = nullptr;
    platform::ThreadHandle thread = nullptr;
    std::atomic<bool> release{false};
    std::atomic<bool> sawStop{false};
    uint32_t runMs = 0;     // 0: until released or stopped
    uint32_t lingerMs = 0;  // how long it still runs after it saw the stop flag
    std::atomic<bool> done{false};
};

unsigned RunFakeTask(void* argument) {
    auto* task = static_cast<FakeTask*>(argument);
    uint32_t start = platform::GetTickCount32();
    for (;;) {
        if (task->manager->IsStopping())
            task->sawStop = true;
        if (task->release || (task->runMs == 0 && task->sawStop) ||
            (task->runMs != 0 && platform::GetTickCount32() - start >= task->runMs))
            break;
        platform::SleepMilliseconds(5);
    }
    if (task->sawStop)
        platform::SleepMilliseconds(task->lingerMs);
    task->done = true;
    task->manager->OnTaskFinished(task->thread);
    platform::CloseThreadHandle(task->thread);
    return 0;
}

void StartFakeTask(CHttpTaskManager& manager, FakeTask& task) {
    task.manager = &manager;
    task.thread = platform::CreateWorkerThread(&RunFakeTask, &task, true);
    ASSERT_NE(task.thread, nullptr);
    ASSERT_TRUE(manager.AddTask(task.thread));
    ASSERT_TRUE(platform::ResumeWorkerThread(task.thread));
}

TEST(TaskManager, ListsEachHandleOnce) {
    CHttpTaskManager manager;
    FakeTask task;
    task.manager = &manager;
    task.thread = platform::CreateWorkerThread(&RunFakeTask, &task, true);
    ASSERT_TRUE(manager.AddTask(task.thread));
    EXPECT_FALSE(manager.AddTask(task.thread));
    EXPECT_EQ(manager.GetTaskCount(), 1u);
    EXPECT_TRUE(manager.RemoveTask(task.thread));
    EXPECT_FALSE(manager.RemoveTask(task.thread));
    EXPECT_EQ(manager.GetTaskCount(), 0u);
    // Let the suspended thread end the way a task does.
    ASSERT_TRUE(manager.AddTask(task.thread));
    task.release = true;
    ASSERT_TRUE(platform::ResumeWorkerThread(task.thread));
    manager.Shutdown();
    EXPECT_EQ(manager.GetTaskCount(), 0u);
}

TEST(TaskManager, ShutdownWithoutTasksReturnsAtOnce) {
    CHttpTaskManager manager;
    auto start = std::chrono::steady_clock::now();
    manager.Shutdown();
    EXPECT_LT(http_test::SecondsSince(start), 0.1);
    EXPECT_TRUE(manager.IsStopping());
}

TEST(TaskManager, ShutdownRaisesTheStopFlagAndWaitsForTasksThatHeedIt) {
    CHttpTaskManager manager;
    FakeTask tasks[3];
    for (FakeTask& task : tasks)
        StartFakeTask(manager, task);
    EXPECT_FALSE(manager.IsStopping());
    auto start = std::chrono::steady_clock::now();
    manager.Shutdown();
    EXPECT_LT(http_test::SecondsSince(start), 2.0);
    for (FakeTask& task : tasks)
        EXPECT_TRUE(task.sawStop);
    EXPECT_EQ(manager.GetTaskCount(), 0u);
}

TEST(TaskManager, ShutdownNeverForgetsATaskItCannotWaitForYet) {
    CHttpTaskManager manager;
    FakeTask task;
    task.lingerMs = 300;
    StartFakeTask(manager, task);
    // The shutdown's first handle for the wait cannot be had: the task still runs, so the
    // shutdown must come back to it rather than drop it.
    CHttpTaskManager::FailNextDuplicationsForTesting(1);
    manager.Shutdown();
    EXPECT_TRUE(task.done);
    EXPECT_EQ(manager.GetTaskCount(), 0u);
}

TEST(TaskManager, AThreadThatCannotBeListedIsRefused) {
    CHttpTaskManager manager;
    FakeTask task;
    task.manager = &manager;
    task.thread = platform::CreateWorkerThread(&RunFakeTask, &task, true);
    ASSERT_NE(task.thread, nullptr);
    CHttpTaskManager::FailNextDuplicationsForTesting(1);
    EXPECT_FALSE(manager.AddTask(task.thread));
    EXPECT_EQ(manager.GetTaskCount(), 0u);
    ASSERT_TRUE(manager.AddTask(task.thread));
    task.release = true;
    ASSERT_TRUE(platform::ResumeWorkerThread(task.thread));
    manager.Shutdown();
    EXPECT_TRUE(task.done);
}

// A task that ignores the stop flag for 7 s: Windows terminates it after 5 s; Linux, which has
// no safe way to do that, waits until it ends. Either way the shutdown then goes on and ends with
// an empty list.
TEST(TaskManagerSlow, TaskThatOutlastsTheWaitIsTerminatedOrAwaited) {
    CHttpTaskManager manager;
    FakeTask hung;
    hung.runMs = 7000;
    FakeTask heeding;
    StartFakeTask(manager, hung);
    StartFakeTask(manager, heeding);
    platform::ThreadHandle watch = platform::DuplicateThreadHandle(hung.thread);

    auto start = std::chrono::steady_clock::now();
    manager.Shutdown();
    double seconds = http_test::SecondsSince(start);
    EXPECT_EQ(manager.GetTaskCount(), 0u);
    EXPECT_TRUE(heeding.sawStop);

    uint32_t code = 0;
    ASSERT_TRUE(platform::GetThreadExitCode(watch, code));
    if (code == 0xFFFFFFFFu) {
        EXPECT_GE(seconds, 4.5);
        EXPECT_LT(seconds, 6.5);
    } else {
        EXPECT_EQ(code, 0u);
        EXPECT_GE(seconds, 6.5);
        EXPECT_LT(seconds, 9.0);
    }
    platform::CloseThreadHandle(watch);
}

}  // namespace
