#include "platform/thread.h"

#include <windows.h>

#include <process.h>

namespace platform {

namespace {

struct ThreadStart {
    ThreadProc proc;
    void* argument;
};

// The CRT calls a thread's function with the system's convention (stdcall on 32-bit x86), which
// the portable ThreadProc does not have.
unsigned __stdcall RunThread(void* start) {
    ThreadStart copy = *static_cast<ThreadStart*>(start);
    delete static_cast<ThreadStart*>(start);
    return copy.proc(copy.argument);
}

}  // namespace

ThreadHandle CreateWorkerThread(ThreadProc proc, void* argument, bool suspended,
                                size_t stackBytes) {
    auto* start = new ThreadStart{proc, argument};
    // The size is the stack's reservation, not only what is committed at once: the reservation
    // is what many threads take of a 32-bit address space.
    unsigned flags = (suspended ? CREATE_SUSPENDED : 0) |
                     (stackBytes != 0 ? STACK_SIZE_PARAM_IS_A_RESERVATION : 0);
    // The CRT's own thread start, so that the C library's per-thread state is set up and freed.
    uintptr_t thread = _beginthreadex(nullptr, static_cast<unsigned>(stackBytes), &RunThread, start,
                                      flags, nullptr);
    if (thread == 0)
        delete start;
    return reinterpret_cast<ThreadHandle>(thread);
}

bool ResumeWorkerThread(ThreadHandle thread) {
    return thread != nullptr && ResumeThread(static_cast<HANDLE>(thread)) != static_cast<DWORD>(-1);
}

ThreadHandle DuplicateThreadHandle(ThreadHandle thread) {
    if (thread == nullptr)
        return nullptr;
    HANDLE duplicate = nullptr;
    if (!DuplicateHandle(GetCurrentProcess(), static_cast<HANDLE>(thread), GetCurrentProcess(),
                         &duplicate, 0, FALSE, DUPLICATE_SAME_ACCESS))
        return nullptr;
    return duplicate;
}

void CloseThreadHandle(ThreadHandle thread) {
    if (thread != nullptr)
        CloseHandle(static_cast<HANDLE>(thread));
}

WaitResult WaitForThread(ThreadHandle thread, uint32_t timeoutMs) {
    if (thread == nullptr)
        return kWaitFailed;
    switch (WaitForSingleObject(static_cast<HANDLE>(thread), timeoutMs)) {
        case WAIT_OBJECT_0:
            return kWaitSignalled;
        case WAIT_TIMEOUT:
            return kWaitTimeout;
        default:
            return kWaitFailed;
    }
}

WaitResult WaitForAllThreads(const ThreadHandle* threads, size_t count, uint32_t timeoutMs) {
    if (count == 0)
        return kWaitSignalled;
    if (threads == nullptr || count > MAXIMUM_WAIT_OBJECTS)
        return kWaitFailed;
    HANDLE handles[MAXIMUM_WAIT_OBJECTS];
    for (size_t i = 0; i < count; ++i) {
        if (threads[i] == nullptr)
            return kWaitFailed;
        handles[i] = static_cast<HANDLE>(threads[i]);
    }
    DWORD result = WaitForMultipleObjects(static_cast<DWORD>(count), handles, TRUE, timeoutMs);
    if (result < WAIT_OBJECT_0 + count)
        return kWaitSignalled;
    return result == WAIT_TIMEOUT ? kWaitTimeout : kWaitFailed;
}

bool GetThreadExitCode(ThreadHandle thread, uint32_t& exitCode) {
    DWORD code = 0;
    if (thread == nullptr || !GetExitCodeThread(static_cast<HANDLE>(thread), &code))
        return false;
    exitCode = code;
    return true;
}

bool TerminateThreadAsLastResort(ThreadHandle thread, uint32_t exitCode) {
    return thread != nullptr && TerminateThread(static_cast<HANDLE>(thread), exitCode) != FALSE;
}

}  // namespace platform
