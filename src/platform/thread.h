// Worker threads with Windows-style handles: created suspended or running, resumed, waited for
// with a time-out, duplicated and closed independently of each other and of the thread itself.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/wait_result.h"

namespace platform {

// A thread handle. Every handle, the one from CreateWorkerThread and every duplicate, is closed
// exactly once with CloseThreadHandle; a thread runs on when all of its handles are closed.
using ThreadHandle = void*;

// The thread procedure: its result is the thread's exit code.
using ThreadProc = unsigned (*)(void* argument);

// The exit code reported for a thread that has not ended (STILL_ACTIVE).
inline constexpr uint32_t kThreadStillActive = 259;

// A stack that is ample for a transfer thread and small enough that many of them fit into the
// address space of a 32-bit process.
inline constexpr size_t kSmallStackBytes = 256 * 1024;

// Starts `proc(argument)` on a new thread, with the default stack size or, when `stackBytes` is
// not 0, a stack of that size. A suspended thread runs only after ResumeWorkerThread. Null when
// the thread cannot be created.
ThreadHandle CreateWorkerThread(ThreadProc proc, void* argument, bool suspended,
                                size_t stackBytes = 0);

// Lets a suspended thread run. False for a null handle or a failure.
bool ResumeWorkerThread(ThreadHandle thread);

// A second handle to the same thread, to be closed on its own. Null on failure.
ThreadHandle DuplicateThreadHandle(ThreadHandle thread);

// Closes one handle; a null handle is ignored.
void CloseThreadHandle(ThreadHandle thread);

// Waits until the thread has ended or the time-out (milliseconds, or kWaitInfinite) has passed.
// A null handle gives kWaitFailed.
WaitResult WaitForThread(ThreadHandle thread, uint32_t timeoutMs);

// Waits until every one of the threads has ended. kWaitFailed when a handle is null or there are
// more than 64 of them (the Windows limit, kept on both targets).
WaitResult WaitForAllThreads(const ThreadHandle* threads, size_t count, uint32_t timeoutMs);

// The thread's exit code, or kThreadStillActive while it runs. False for a null handle.
bool GetThreadExitCode(ThreadHandle thread, uint32_t& exitCode);

// Ends a thread by force, as a last resort when it did not end in time: the thread may die
// holding locks. Windows only; the Linux build has no safe way to do it and returns false
// without touching the thread, so the caller must go on waiting.
bool TerminateThreadAsLastResort(ThreadHandle thread, uint32_t exitCode);

}  // namespace platform
