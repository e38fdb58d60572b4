// The list of running task threads, and the shutdown that stops them.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <list>
#include <mutex>

#include "http/http_object.h"

class CHttpTaskManager : public IHttpTaskCallback {
  public:
    // How long the shutdown waits for each task before it gives up on it.
    static constexpr uint32_t kTaskWaitMs = 5000;

    CHttpTaskManager() = default;
    ~CHttpTaskManager();
    CHttpTaskManager(const CHttpTaskManager&) = delete;
    CHttpTaskManager& operator=(const CHttpTaskManager&) = delete;

    // Appends the thread unless it is listed already. The list keeps a duplicate of the handle,
    // so that the shutdown never waits on a handle that its command has closed. False when the
    // thread is not listed: the caller must then not let it run.
    bool AddTask(platform::ThreadHandle thread);
    // Removes the thread and closes the list's duplicate. False when it is not listed.
    bool RemoveTask(platform::ThreadHandle thread);

    void OnTaskFinished(platform::ThreadHandle thread) override;
    bool IsStopping() const override;

    // Raises the stop flag, so that every transfer aborts and no result or progress is delivered
    // any more, then waits for each listed task up to kTaskWaitMs. A task that still runs after
    // that is terminated where the platform can do it (Windows), and waited for to its end where
    // it cannot (Linux). A task that cannot be waited for at the moment stays listed and is tried
    // again. Returns when no task is listed; later calls return at once.
    void Shutdown();

    size_t GetTaskCount();

    // Tests only: the next `count` duplications of a thread handle by any task manager fail, as
    // they would when the system runs out of handles.
    static void FailNextDuplicationsForTesting(int count);

  private:
    static platform::ThreadHandle Duplicate(platform::ThreadHandle thread);

    struct Task {
        platform::ThreadHandle thread;  // the command's handle, the key of the entry
        platform::ThreadHandle watch;   // the list's own duplicate
    };

    // Guards only the list; re-entrant because OnTaskFinished calls RemoveTask under it.
    std::recursive_mutex lock_;
    std::list<Task> tasks_;
    std::atomic<bool> stopping_{false};
};
