// The Linux message loop: one queue per thread, created on first use. Other threads post
// messages and hand over tasks under the queue's lock and wake the owner through an eventfd; the
// owner alone runs timers and descriptor sources, and waits with poll() on the eventfd and the
// sources' descriptors until the next timer is due.
#include "platform/message_loop.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/posix/message_loop_internal.h"

namespace platform {

using Clock = std::chrono::steady_clock;

struct ThreadLoop;

struct LoopTarget {
    MessageProc proc = nullptr;
    std::wstring className;
    LoopThreadId thread = 0;
    void* context = nullptr;
};

struct ThreadLoop {
    explicit ThreadLoop(LoopThreadId loopId)
        : id(loopId), wakeFd(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}
    ~ThreadLoop() {
        if (wakeFd >= 0)
            close(wakeFd);
    }

    void Wake() const {
        uint64_t one = 1;
        // A full counter already means "wake up"; nothing else can fail here.
        [[maybe_unused]] ssize_t written = write(wakeFd, &one, sizeof one);
    }

    const LoopThreadId id;
    const int wakeFd;

    // Shared with other threads, under `mutex`.
    std::mutex mutex;
    std::deque<LoopMessage> posted;
    std::deque<std::function<void()>> tasks;
    bool alive = true;

    // The owning thread's alone.
    struct Timer {
        MessageTarget target;
        uintptr_t id;
        uint32_t periodMs;
        TimerProc proc;
        Clock::time_point due;
    };
    std::vector<Timer> timers;
    std::vector<std::pair<int, posix::LoopSource>> sources;
    int nextSourceId = 1;
    bool quitPending = false;
    int quitCode = 0;
};

namespace {

// Every live loop by thread id, and every live target with its loop.
struct Registry {
    std::mutex mutex;
    std::map<LoopThreadId, std::shared_ptr<ThreadLoop>> loops;
    std::map<MessageTarget, std::shared_ptr<ThreadLoop>> targets;
    LoopThreadId nextId = 1;
};

Registry& GetRegistry() {
    static Registry* registry = new Registry;  // outlives the threads' own loop holders
    return *registry;
}

// Creates the calling thread's loop on first use and retires it when the thread ends: posts to
// its targets fail from then on and its tasks are dropped.
class LoopHolder {
  public:
    ThreadLoop& Get() {
        if (!loop_) {
            Registry& registry = GetRegistry();
            std::lock_guard<std::mutex> lock(registry.mutex);
            loop_ = std::make_shared<ThreadLoop>(registry.nextId++);
            registry.loops[loop_->id] = loop_;
        }
        return *loop_;
    }

    ~LoopHolder() {
        if (!loop_)
            return;
        Registry& registry = GetRegistry();
        {
            std::lock_guard<std::mutex> lock(registry.mutex);
            registry.loops.erase(loop_->id);
            for (auto it = registry.targets.begin(); it != registry.targets.end();) {
                if (it->second == loop_) {
                    delete it->first;
                    it = registry.targets.erase(it);
                } else {
                    ++it;
                }
            }
        }
        std::lock_guard<std::mutex> lock(loop_->mutex);
        loop_->alive = false;
        loop_->posted.clear();
        loop_->tasks.clear();
    }

  private:
    std::shared_ptr<ThreadLoop> loop_;
};

ThreadLoop& CurrentLoop() {
    thread_local LoopHolder holder;
    return holder.Get();
}

std::shared_ptr<ThreadLoop> LoopOfTarget(MessageTarget target) {
    Registry& registry = GetRegistry();
    std::lock_guard<std::mutex> lock(registry.mutex);
    auto it = registry.targets.find(target);
    return it == registry.targets.end() ? nullptr : it->second;
}

// The loop of another thread, kept alive for the caller; null when that thread has none.
std::shared_ptr<ThreadLoop> FindLoop(LoopThreadId thread) {
    Registry& registry = GetRegistry();
    std::lock_guard<std::mutex> lock(registry.mutex);
    auto it = registry.loops.find(thread);
    return it != registry.loops.end() ? it->second : nullptr;
}

bool Enqueue(ThreadLoop& loop, const LoopMessage& message) {
    {
        std::lock_guard<std::mutex> lock(loop.mutex);
        if (!loop.alive)
            return false;
        loop.posted.push_back(message);
    }
    loop.Wake();
    return true;
}

void RunTasks(ThreadLoop& loop) {
    for (;;) {
        std::deque<std::function<void()>> tasks;
        {
            std::lock_guard<std::mutex> lock(loop.mutex);
            tasks.swap(loop.tasks);
        }
        if (tasks.empty())
            return;
        for (auto& task : tasks)
            task();
    }
}

bool TakePosted(ThreadLoop& loop, LoopMessage& message) {
    std::lock_guard<std::mutex> lock(loop.mutex);
    if (loop.posted.empty())
        return false;
    message = loop.posted.front();
    loop.posted.pop_front();
    return true;
}

bool HasPosted(ThreadLoop& loop) {
    std::lock_guard<std::mutex> lock(loop.mutex);
    return !loop.posted.empty() || !loop.tasks.empty();
}

// The timer that is due first, if it is due now. Taking it starts its next period.
bool TakeDueTimer(ThreadLoop& loop, LoopMessage& message) {
    if (loop.timers.empty())
        return false;
    auto first = std::min_element(loop.timers.begin(), loop.timers.end(),
                                  [](const auto& a, const auto& b) { return a.due < b.due; });
    Clock::time_point now = Clock::now();
    if (first->due > now)
        return false;
    first->due = now + std::chrono::milliseconds(first->periodMs);
    message = {first->target, kTimerMessage, first->id, reinterpret_cast<intptr_t>(first->proc)};
    return true;
}

// Milliseconds until the next timer is due (0 when one is due), or -1 without timers.
int MillisecondsToNextTimer(const ThreadLoop& loop) {
    if (loop.timers.empty())
        return -1;
    Clock::time_point due = loop.timers.front().due;
    for (const auto& timer : loop.timers)
        due = std::min(due, timer.due);
    auto left = std::chrono::ceil<std::chrono::milliseconds>(due - Clock::now()).count();
    return static_cast<int>(std::clamp<int64_t>(left, 0, INT32_MAX));
}

// The shorter of two time-outs, -1 meaning none.
int Shorter(int a, int b) {
    return a < 0 ? b : (b < 0 ? a : std::min(a, b));
}

// The source with this id, or null when a callback has removed it meanwhile.
posix::LoopSource* FindSource(ThreadLoop& loop, int id) {
    auto found = std::find_if(loop.sources.begin(), loop.sources.end(),
                              [id](const auto& entry) { return entry.first == id; });
    return found != loop.sources.end() ? &found->second : nullptr;
}

// Serves the sources and waits for input, a wake-up or the time-out (-1: none).
void WaitForInput(ThreadLoop& loop, int timeoutMs) {
    // Callbacks may add or remove sources, so they are found by id each time.
    std::vector<pollfd> fds;
    fds.push_back({loop.wakeFd, POLLIN, 0});
    std::vector<int> ids;
    for (const auto& [id, source] : loop.sources) {
        fds.push_back({source.fd, POLLIN, 0});
        ids.push_back(id);
    }
    for (int id : ids) {
        posix::LoopSource* source = FindSource(loop, id);
        if (source != nullptr && source->beforeWait && source->beforeWait())
            timeoutMs = 0;
    }
    int ready = poll(fds.data(), fds.size(), timeoutMs);
    if (ready <= 0)
        return;
    if (fds[0].revents != 0) {
        uint64_t count = 0;
        [[maybe_unused]] ssize_t got = read(loop.wakeFd, &count, sizeof count);
    }
    for (size_t i = 1; i < fds.size(); ++i) {
        if (fds[i].revents == 0)
            continue;
        posix::LoopSource* source = FindSource(loop, ids[i - 1]);
        if (source != nullptr && source->onReadable)
            source->onReadable();
    }
}

// The next message by the queue's priorities: posted messages, then the quit request, then a due
// timer. False when there is none.
bool TakeNext(ThreadLoop& loop, LoopMessage& message) {
    RunTasks(loop);
    if (TakePosted(loop, message))
        return true;
    if (loop.quitPending) {
        loop.quitPending = false;
        message = {nullptr, kQuitMessage, static_cast<uintptr_t>(loop.quitCode), 0};
        return true;
    }
    return TakeDueTimer(loop, message);
}

}  // namespace

intptr_t DefaultMessageProc(MessageTarget, uint32_t, uintptr_t, intptr_t) {
    return 0;
}

ModuleInstance GetProcessModuleInstance() {
    static const int placeholder = 0;
    return &placeholder;
}

MessageTarget CreateMessageTarget(ModuleInstance, const wchar_t* className, MessageProc proc,
                                  void* context) {
    if (proc == nullptr)
        return nullptr;
    ThreadLoop& loop = CurrentLoop();
    auto* target = new LoopTarget{proc, className != nullptr ? className : L"", loop.id, context};
    Registry& registry = GetRegistry();
    std::lock_guard<std::mutex> lock(registry.mutex);
    registry.targets[target] = registry.loops[loop.id];
    return target;
}

void* GetTargetContext(MessageTarget target) {
    return target != nullptr ? target->context : nullptr;
}

void DestroyMessageTarget(MessageTarget target) {
    if (target == nullptr)
        return;
    ThreadLoop& loop = CurrentLoop();
    {
        Registry& registry = GetRegistry();
        std::lock_guard<std::mutex> lock(registry.mutex);
        auto it = registry.targets.find(target);
        if (it == registry.targets.end() || it->second.get() != &loop)
            return;
        registry.targets.erase(it);
    }
    std::erase_if(loop.timers, [target](const auto& timer) { return timer.target == target; });
    {
        // Messages still queued for it must not reach a later target at the same address.
        std::lock_guard<std::mutex> lock(loop.mutex);
        std::erase_if(loop.posted, [target](const LoopMessage& m) { return m.target == target; });
    }
    delete target;
}

bool PostLoopMessage(MessageTarget target, uint32_t message, uintptr_t wParam, intptr_t lParam) {
    std::shared_ptr<ThreadLoop> loop = LoopOfTarget(target);
    return loop != nullptr && Enqueue(*loop, {target, message, wParam, lParam});
}

void PostQuitToLoop(int exitCode) {
    ThreadLoop& loop = CurrentLoop();
    loop.quitPending = true;
    loop.quitCode = exitCode;
}

bool GetLoopMessage(LoopMessage& message) {
    ThreadLoop& loop = CurrentLoop();
    while (!TakeNext(loop, message))
        WaitForInput(loop, MillisecondsToNextTimer(loop));
    return message.message != kQuitMessage;
}

bool PeekLoopMessage(LoopMessage& message) {
    ThreadLoop& loop = CurrentLoop();
    RunTasks(loop);
    WaitForInput(loop, 0);
    return TakeNext(loop, message);
}

intptr_t DispatchLoopMessage(const LoopMessage& message) {
    if (message.message == kTimerMessage && message.lParam != 0) {
        reinterpret_cast<TimerProc>(message.lParam)(message.target, message.wParam);
        return 0;
    }
    if (message.target == nullptr)
        return 0;
    LoopThreadId current = CurrentLoop().id;
    MessageProc proc = nullptr;
    {
        Registry& registry = GetRegistry();
        std::lock_guard<std::mutex> lock(registry.mutex);
        auto it = registry.targets.find(message.target);
        if (it == registry.targets.end() || it->second->id != current)
            return 0;
        proc = message.target->proc;
    }
    return proc(message.target, message.message, message.wParam, message.lParam);
}

bool WaitForLoopMessage(uint32_t timeoutMs) {
    ThreadLoop& loop = CurrentLoop();
    Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        RunTasks(loop);
        if (HasPosted(loop) || loop.quitPending || MillisecondsToNextTimer(loop) == 0)
            return true;
        auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0)
            return false;
        int wait =
            timeoutMs == kWaitInfinite ? -1 : static_cast<int>(std::min<int64_t>(left, INT32_MAX));
        WaitForInput(loop, Shorter(wait, MillisecondsToNextTimer(loop)));
    }
}

bool SetLoopTimer(MessageTarget target, uintptr_t timerId, uint32_t periodMs, TimerProc proc) {
    ThreadLoop& loop = CurrentLoop();
    std::shared_ptr<ThreadLoop> owner = LoopOfTarget(target);
    if (owner.get() != &loop)
        return false;
    Clock::time_point due = Clock::now() + std::chrono::milliseconds(periodMs);
    for (auto& timer : loop.timers) {
        if (timer.target == target && timer.id == timerId) {
            timer.periodMs = periodMs;
            timer.proc = proc;
            timer.due = due;
            return true;
        }
    }
    loop.timers.push_back({target, timerId, periodMs, proc, due});
    return true;
}

bool KillLoopTimer(MessageTarget target, uintptr_t timerId) {
    ThreadLoop& loop = CurrentLoop();
    return std::erase_if(loop.timers, [&](const auto& timer) {
               return timer.target == target && timer.id == timerId;
           }) > 0;
}

LoopThreadId GetCurrentLoopThread() {
    return CurrentLoop().id;
}

bool WakeLoopThread(LoopThreadId thread) {
    std::shared_ptr<ThreadLoop> loop = FindLoop(thread);
    return loop != nullptr && Enqueue(*loop, {nullptr, kNullMessage, 0, 0});
}

namespace posix {

bool RunOnLoopThread(LoopThreadId thread, std::function<void()> task) {
    ThreadLoop& current = CurrentLoop();
    if (current.id == thread) {
        task();
        return true;
    }
    std::shared_ptr<ThreadLoop> loop = FindLoop(thread);
    if (loop == nullptr)
        return false;
    {
        std::lock_guard<std::mutex> lock(loop->mutex);
        if (!loop->alive)
            return false;
        loop->tasks.push_back(std::move(task));
    }
    loop->Wake();
    return true;
}

int AddLoopSource(LoopSource source) {
    ThreadLoop& loop = CurrentLoop();
    int id = loop.nextSourceId++;
    loop.sources.emplace_back(id, std::move(source));
    return id;
}

void RemoveLoopSource(int sourceId) {
    ThreadLoop& loop = CurrentLoop();
    std::erase_if(loop.sources, [sourceId](const auto& entry) { return entry.first == sourceId; });
}

}  // namespace posix

}  // namespace platform
