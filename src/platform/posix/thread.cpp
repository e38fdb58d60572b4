// Threads with Windows-style handles on top of POSIX threads. Each thread has one shared,
// reference-counted state that records whether it may run and whether it has ended; every handle
// holds a reference, so handles can be duplicated and closed in any order while the thread runs,
// and waits with a time-out are waits on that state. The threads themselves are detached.
#include "platform/thread.h"

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>

#include <pthread.h>

namespace platform {

namespace {

struct ThreadState {
    std::mutex mutex;
    std::condition_variable changed;
    bool resumed = false;
    bool abandoned = false;  // every handle closed before the thread was allowed to run
    bool finished = false;
    uint32_t exitCode = kThreadStillActive;
    int openHandles = 1;
};

struct Handle {
    std::shared_ptr<ThreadState> state;
};

ThreadState* StateOf(ThreadHandle thread) {
    return thread == nullptr ? nullptr : static_cast<Handle*>(thread)->state.get();
}

struct ThreadStart {
    std::shared_ptr<ThreadState> state;
    ThreadProc proc;
    void* argument;
};

void* RunThread(void* start) {
    std::unique_ptr<ThreadStart> owned(static_cast<ThreadStart*>(start));
    const std::shared_ptr<ThreadState>& state = owned->state;
    {
        std::unique_lock<std::mutex> lock(state->mutex);
        state->changed.wait(lock, [&] { return state->resumed || state->abandoned; });
        if (!state->resumed)
            return nullptr;  // nobody can resume it any more
    }
    uint32_t exitCode = owned->proc(owned->argument);
    {
        std::lock_guard<std::mutex> lock(state->mutex);
        state->finished = true;
        state->exitCode = exitCode;
    }
    state->changed.notify_all();
    return nullptr;
}

// Waits for one state until `deadline`, or without limit when `infinite`.
bool WaitFinished(ThreadState* state, bool infinite,
                  std::chrono::steady_clock::time_point deadline) {
    std::unique_lock<std::mutex> lock(state->mutex);
    if (infinite) {
        state->changed.wait(lock, [&] { return state->finished; });
        return true;
    }
    return state->changed.wait_until(lock, deadline, [&] { return state->finished; });
}

std::chrono::steady_clock::time_point DeadlineAfter(uint32_t timeoutMs) {
    return std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
}

}  // namespace

ThreadHandle CreateWorkerThread(ThreadProc proc, void* argument, bool suspended,
                                size_t stackBytes) {
    if (proc == nullptr)
        return nullptr;
    auto state = std::make_shared<ThreadState>();
    state->resumed = !suspended;
    auto* start = new ThreadStart{state, proc, argument};
    pthread_attr_t attributes;
    if (pthread_attr_init(&attributes) != 0) {
        delete start;
        return nullptr;
    }
    bool ready = pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED) == 0;
    // The sanitizers' shadow frames need more room than the stack was sized for.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    stackBytes = stackBytes != 0 ? stackBytes * 4 : 0;
#endif
    if (ready && stackBytes != 0)
        ready = pthread_attr_setstacksize(&attributes, stackBytes) == 0;
    pthread_t thread;
    ready = ready && pthread_create(&thread, &attributes, &RunThread, start) == 0;
    pthread_attr_destroy(&attributes);
    if (!ready) {
        delete start;
        return nullptr;
    }
    return new Handle{std::move(state)};
}

bool ResumeWorkerThread(ThreadHandle thread) {
    if (thread == nullptr)
        return false;
    // The thread may run to its end and close the last handle (its command's) as soon as it is
    // let go, so this call keeps the state alive on its own until it is done with it.
    std::shared_ptr<ThreadState> state = static_cast<Handle*>(thread)->state;
    std::lock_guard<std::mutex> lock(state->mutex);
    state->resumed = true;
    state->changed.notify_all();
    return true;
}

ThreadHandle DuplicateThreadHandle(ThreadHandle thread) {
    ThreadState* state = StateOf(thread);
    if (state == nullptr)
        return nullptr;
    {
        std::lock_guard<std::mutex> lock(state->mutex);
        ++state->openHandles;
    }
    return new Handle{static_cast<Handle*>(thread)->state};
}

void CloseThreadHandle(ThreadHandle thread) {
    ThreadState* state = StateOf(thread);
    if (state == nullptr)
        return;
    bool abandon = false;
    {
        std::lock_guard<std::mutex> lock(state->mutex);
        abandon = --state->openHandles == 0 && !state->resumed;
        if (abandon)
            state->abandoned = true;
    }
    if (abandon)
        state->changed.notify_all();
    delete static_cast<Handle*>(thread);
}

WaitResult WaitForThread(ThreadHandle thread, uint32_t timeoutMs) {
    ThreadState* state = StateOf(thread);
    if (state == nullptr)
        return kWaitFailed;
    bool finished = WaitFinished(state, timeoutMs == kWaitInfinite, DeadlineAfter(timeoutMs));
    return finished ? kWaitSignalled : kWaitTimeout;
}

WaitResult WaitForAllThreads(const ThreadHandle* threads, size_t count, uint32_t timeoutMs) {
    if (count > 64 || (count > 0 && threads == nullptr))
        return kWaitFailed;
    for (size_t i = 0; i < count; ++i) {
        if (threads[i] == nullptr)
            return kWaitFailed;
    }
    auto deadline = DeadlineAfter(timeoutMs == kWaitInfinite ? 0 : timeoutMs);
    for (size_t i = 0; i < count; ++i) {
        if (!WaitFinished(StateOf(threads[i]), timeoutMs == kWaitInfinite, deadline))
            return kWaitTimeout;
    }
    return kWaitSignalled;
}

bool GetThreadExitCode(ThreadHandle thread, uint32_t& exitCode) {
    ThreadState* state = StateOf(thread);
    if (state == nullptr)
        return false;
    std::lock_guard<std::mutex> lock(state->mutex);
    exitCode = state->exitCode;
    return true;
}

bool TerminateThreadAsLastResort(ThreadHandle, uint32_t) {
    return false;
}

}  // namespace platform
