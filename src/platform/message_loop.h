// The calling thread's message queue: messages posted to targets, timers whose callbacks run on
// the thread that owns their target, and the blocking and non-blocking ways to take the next
// message. Windows maps every call to its own queue (a target is a window); Linux has a loop of
// its own per thread, which also serves the X connection of the progress window.
#pragma once

#include <cstdint>

#include "platform/types.h"
#include "platform/wait_result.h"

#ifdef _WIN32
struct HWND__;
#endif

namespace platform {

#ifdef _WIN32
using MessageTarget = HWND__*;
#else
struct LoopTarget;
using MessageTarget = LoopTarget*;
#endif

// Message numbers with their Windows values, so that code above the seam can name them.
inline constexpr uint32_t kNullMessage = 0x0000;     // WM_NULL
inline constexpr uint32_t kDestroyMessage = 0x0002;  // WM_DESTROY
inline constexpr uint32_t kQuitMessage = 0x0012;     // WM_QUIT
inline constexpr uint32_t kTimerMessage = 0x0113;    // WM_TIMER
inline constexpr uint32_t kFirstUserMessage = 0x0400;

struct LoopMessage {
    MessageTarget target = nullptr;
    uint32_t message = kNullMessage;
    uintptr_t wParam = 0;
    intptr_t lParam = 0;
};

// A target's message handler, called on the target's thread. Messages it does not handle go to
// DefaultMessageProc.
using MessageProc = intptr_t (*)(MessageTarget target, uint32_t message, uintptr_t wParam,
                                 intptr_t lParam);

// Called on the target's thread each time its timer fires.
using TimerProc = void (*)(MessageTarget target, uintptr_t timerId);

// The default handling of a message (Windows: DefWindowProcW; Linux: nothing, result 0).
intptr_t DefaultMessageProc(MessageTarget target, uint32_t message, uintptr_t wParam,
                            intptr_t lParam);

// The module instance of the running executable (Linux: a non-null placeholder).
ModuleInstance GetProcessModuleInstance();

// Creates a hidden target owned by the calling thread. Windows: registers the class (once per
// name; style CS_HREDRAW | CS_VREDRAW) and creates a hidden top-level window of it (title "***",
// WS_OVERLAPPEDWINDOW, default position and size). Null on failure.
// `context`, whatever the owner hands in, is kept with the target for its handler.
MessageTarget CreateMessageTarget(ModuleInstance instance, const wchar_t* className,
                                  MessageProc proc, void* context = nullptr);

// The context the target was created with; for its handler, on the target's thread.
void* GetTargetContext(MessageTarget target);

// Destroys a target of the calling thread: later posts to it fail, its timers stop.
void DestroyMessageTarget(MessageTarget target);

// Queues a message for the target's thread, from any thread, and wakes that thread. False when
// the target does not exist. A kQuitMessage makes GetLoopMessage return false when taken.
bool PostLoopMessage(MessageTarget target, uint32_t message, uintptr_t wParam, intptr_t lParam);

// Asks the calling thread's loop to end (PostQuitMessage): GetLoopMessage returns false once the
// messages posted before have been taken.
void PostQuitToLoop(int exitCode);

// Waits for the calling thread's next message. False when it is a quit message (or on failure);
// the message is filled in either case.
bool GetLoopMessage(LoopMessage& message);

// Takes the calling thread's next message without waiting. False when none is queued.
bool PeekLoopMessage(LoopMessage& message);

// Hands a message to its target's handler, or runs the timer procedure of a timer message.
intptr_t DispatchLoopMessage(const LoopMessage& message);

// Waits until a message is available for the calling thread, a wake-up arrives or `timeoutMs`
// has passed (kWaitInfinite: no limit). True unless the time ran out.
bool WaitForLoopMessage(uint32_t timeoutMs);

// Arms (or re-arms from now) the timer `timerId` of a target owned by the calling thread: every
// `periodMs` a timer message is queued, and dispatching it calls `proc`. A timer message is
// produced only when no posted message waits, and at most one is pending per timer. False when
// the target is missing or belongs to another thread.
bool SetLoopTimer(MessageTarget target, uintptr_t timerId, uint32_t periodMs, TimerProc proc);

// Stops a timer of a target owned by the calling thread. False when there is no such timer.
bool KillLoopTimer(MessageTarget target, uintptr_t timerId);

// Identifies a thread's loop, so that other threads can wake it.
using LoopThreadId = uint32_t;

LoopThreadId GetCurrentLoopThread();

// Wakes a thread that waits in GetLoopMessage or WaitForLoopMessage by queueing a kNullMessage
// without target, which dispatching ignores. False when the thread has no loop.
bool WakeLoopThread(LoopThreadId thread);

}  // namespace platform
