// The Windows message loop is the thread's own message queue: targets are windows, timers are
// window timers. A timer procedure of ours is reached through one system timer procedure and a
// table keyed by window and timer id.
#include "platform/message_loop.h"

#include <windows.h>

#include <map>
#include <mutex>
#include <utility>

namespace platform {

namespace {

// What a target window is created with: its handler goes into its user data, its context into
// the window's one extra slot.
struct TargetCreation {
    MessageProc proc;
    void* context;
};

LRESULT CALLBACK TargetWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_NCCREATE) {
        auto* create = reinterpret_cast<CREATESTRUCTW*>(lParam);
        const auto* creation = static_cast<const TargetCreation*>(create->lpCreateParams);
        SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(creation->proc));
        SetWindowLongPtrW(window, 0, reinterpret_cast<LONG_PTR>(creation->context));
    }
    auto proc = reinterpret_cast<MessageProc>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (proc == nullptr)
        return DefWindowProcW(window, message, wParam, lParam);
    return proc(window, message, wParam, lParam);
}

struct TimerTable {
    std::mutex mutex;
    std::map<std::pair<HWND, UINT_PTR>, TimerProc> procs;
};

TimerTable& Timers() {
    static TimerTable* table = new TimerTable;
    return *table;
}

void CALLBACK SystemTimerProc(HWND window, UINT, UINT_PTR timerId, DWORD) {
    TimerProc proc = nullptr;
    {
        TimerTable& table = Timers();
        std::lock_guard<std::mutex> lock(table.mutex);
        auto it = table.procs.find({window, timerId});
        if (it != table.procs.end())
            proc = it->second;
    }
    if (proc != nullptr)
        proc(window, timerId);
}

void Fill(const MSG& msg, LoopMessage& message) {
    message.target = msg.hwnd;
    message.message = msg.message;
    message.wParam = msg.wParam;
    message.lParam = msg.lParam;
}

}  // namespace

intptr_t DefaultMessageProc(MessageTarget target, uint32_t message, uintptr_t wParam,
                            intptr_t lParam) {
    return DefWindowProcW(target, message, wParam, lParam);
}

ModuleInstance GetProcessModuleInstance() {
    return GetModuleHandleW(nullptr);
}

MessageTarget CreateMessageTarget(ModuleInstance instance, const wchar_t* className,
                                  MessageProc proc, void* context) {
    if (proc == nullptr || className == nullptr)
        return nullptr;
    WNDCLASSW windowClass = {};
    windowClass.style = CS_HREDRAW | CS_VREDRAW;
    windowClass.lpfnWndProc = TargetWindowProc;
    windowClass.cbWndExtra = sizeof(LONG_PTR);
    windowClass.hInstance = instance;
    windowClass.lpszClassName = className;
    if (RegisterClassW(&windowClass) == 0 && GetLastError() != ERROR_CLASS_ALREADY_EXISTS)
        return nullptr;
    TargetCreation creation{proc, context};
    return CreateWindowExW(0, className, L"***", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, 0,
                           CW_USEDEFAULT, 0, nullptr, nullptr, instance, &creation);
}

void* GetTargetContext(MessageTarget target) {
    return target != nullptr ? reinterpret_cast<void*>(GetWindowLongPtrW(target, 0)) : nullptr;
}

void DestroyMessageTarget(MessageTarget target) {
    if (target != nullptr && DestroyWindow(target)) {
        TimerTable& table = Timers();
        std::lock_guard<std::mutex> lock(table.mutex);
        std::erase_if(table.procs,
                      [target](const auto& entry) { return entry.first.first == target; });
    }
}

bool PostLoopMessage(MessageTarget target, uint32_t message, uintptr_t wParam, intptr_t lParam) {
    return target != nullptr && PostMessageW(target, message, wParam, lParam) != FALSE;
}

void PostQuitToLoop(int exitCode) {
    PostQuitMessage(exitCode);
}

bool GetLoopMessage(LoopMessage& message) {
    MSG msg = {};
    BOOL result = GetMessageW(&msg, nullptr, 0, 0);
    Fill(msg, message);
    if (result == -1)
        message.message = kQuitMessage;
    return result > 0;
}

bool PeekLoopMessage(LoopMessage& message) {
    MSG msg = {};
    if (!PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE))
        return false;
    Fill(msg, message);
    return true;
}

intptr_t DispatchLoopMessage(const LoopMessage& message) {
    MSG msg = {};
    msg.hwnd = message.target;
    msg.message = message.message;
    msg.wParam = message.wParam;
    msg.lParam = message.lParam;
    msg.time = GetMessageTime();
    TranslateMessage(&msg);
    return DispatchMessageW(&msg);
}

bool WaitForLoopMessage(uint32_t timeoutMs) {
    DWORD result = MsgWaitForMultipleObjects(0, nullptr, FALSE, timeoutMs, QS_ALLINPUT);
    return result == WAIT_OBJECT_0;
}

bool SetLoopTimer(MessageTarget target, uintptr_t timerId, uint32_t periodMs, TimerProc proc) {
    if (target == nullptr || GetWindowThreadProcessId(target, nullptr) != GetCurrentThreadId())
        return false;
    {
        TimerTable& table = Timers();
        std::lock_guard<std::mutex> lock(table.mutex);
        table.procs[{target, timerId}] = proc;
    }
    return SetTimer(target, timerId, periodMs, proc != nullptr ? SystemTimerProc : nullptr) != 0;
}

bool KillLoopTimer(MessageTarget target, uintptr_t timerId) {
    {
        TimerTable& table = Timers();
        std::lock_guard<std::mutex> lock(table.mutex);
        table.procs.erase({target, timerId});
    }
    return KillTimer(target, timerId) != FALSE;
}

LoopThreadId GetCurrentLoopThread() {
    // A thread gets its message queue with its first message call; make sure it has one, so
    // that other threads can wake it.
    MSG msg;
    PeekMessageW(&msg, nullptr, WM_USER, WM_USER, PM_NOREMOVE);
    return GetCurrentThreadId();
}

bool WakeLoopThread(LoopThreadId thread) {
    return PostThreadMessageW(thread, WM_NULL, 0, 0) != FALSE;
}

}  // namespace platform
