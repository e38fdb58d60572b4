#include "http/http_task_manager.h"

#include <vector>

#include "platform/clock.h"

namespace {

std::atomic<int> g_failingDuplications{0};

}  // namespace

void CHttpTaskManager::FailNextDuplicationsForTesting(int count) {
    g_failingDuplications.store(count);
}

platform::ThreadHandle CHttpTaskManager::Duplicate(platform::ThreadHandle thread) {
    int failing = g_failingDuplications.load();
    while (failing > 0) {
        if (g_failingDuplications.compare_exchange_weak(failing, failing - 1))
            return nullptr;
    }
    return platform::DuplicateThreadHandle(thread);
}

CHttpTaskManager::~CHttpTaskManager() {
    Shutdown();
}

bool CHttpTaskManager::AddTask(platform::ThreadHandle thread) {
    if (thread == nullptr)
        return false;
    std::lock_guard<std::recursive_mutex> guard(lock_);
    for (const Task& task : tasks_) {
        if (task.thread == thread)
            return false;
    }
    platform::ThreadHandle watch = Duplicate(thread);
    if (watch == nullptr)
        return false;
    tasks_.push_back(Task{thread, watch});
    return true;
}

bool CHttpTaskManager::RemoveTask(platform::ThreadHandle thread) {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    for (auto it = tasks_.begin(); it != tasks_.end(); ++it) {
        if (it->thread == thread) {
            platform::CloseThreadHandle(it->watch);
            tasks_.erase(it);
            return true;
        }
    }
    return false;
}

void CHttpTaskManager::OnTaskFinished(platform::ThreadHandle thread) {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    RemoveTask(thread);
}

bool CHttpTaskManager::IsStopping() const {
    return stopping_.load();
}

size_t CHttpTaskManager::GetTaskCount() {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    return tasks_.size();
}

void CHttpTaskManager::Shutdown() {
    stopping_.store(true);
    struct Waited {
        platform::ThreadHandle thread;  // the entry's key
        platform::ThreadHandle watch;   // the entry's duplicate, which names the entry uniquely
        platform::ThreadHandle own;     // a duplicate that only this wait uses and closes
    };
    // Rounds, because a task that was being created when the flag went up may join the list
    // after a copy was taken.
    for (;;) {
        std::vector<Waited> copy;
        {
            std::lock_guard<std::recursive_mutex> guard(lock_);
            for (const Task& task : tasks_)
                copy.push_back(Waited{task.thread, task.watch, Duplicate(task.watch)});
        }
        if (copy.empty())
            return;
        bool retry = false;
        // The lock is not held while waiting: finishing tasks take it to remove themselves.
        for (const Waited& task : copy) {
            if (task.own == nullptr) {
                // It cannot be waited for now; it may still run and use the owner, so it stays
                // listed and is tried again in the next round.
                retry = true;
                continue;
            }
            platform::WaitResult result = platform::WaitForThread(task.own, kTaskWaitMs);
            bool terminated = false;
            if (result == platform::kWaitTimeout) {
                terminated =
                    platform::TerminateThreadAsLastResort(task.own, static_cast<uint32_t>(-1));
                // Without a safe way to end it, the task still uses the owner and this list, so
                // it must be let finish. The stop flag makes its transfers end within a second.
                if (!terminated)
                    result = platform::WaitForThread(task.own, platform::kWaitInfinite);
            }
            platform::CloseThreadHandle(task.own);
            if (!terminated) {
                // Ended normally, it has removed itself; a failed wait is tried again.
                retry = retry || result != platform::kWaitSignalled;
                continue;
            }
            // Terminated: it will never remove itself.
            std::lock_guard<std::recursive_mutex> guard(lock_);
            for (auto it = tasks_.begin(); it != tasks_.end(); ++it) {
                if (it->thread == task.thread && it->watch == task.watch) {
                    platform::CloseThreadHandle(it->watch);
                    tasks_.erase(it);
                    break;
                }
            }
        }
        if (retry)
            platform::SleepMilliseconds(10);
    }
}
