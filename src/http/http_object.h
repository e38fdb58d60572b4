// The base of the engine's commands: a command owns itself and its worker thread, reports to its
// owner on that thread, tells the task manager when it is done and then deletes itself.
#pragma once

#include "platform/thread.h"

class HttpObject {
  public:
    virtual ~HttpObject() = default;
};

// The engine's side of a running task.
class IHttpTaskCallback {
  public:
    // The task's thread is about to end; the handle is the command's own.
    virtual void OnTaskFinished(platform::ThreadHandle thread) = 0;
    // True once the engine has begun to shut down. Every transfer callback checks it, so that
    // libcurl aborts each transfer at once, and nothing more is delivered to the owner.
    virtual bool IsStopping() const = 0;

  protected:
    ~IHttpTaskCallback() = default;
};

template <typename T>
class IHttpCommand : public HttpObject {
  public:
    ~IHttpCommand() override { platform::CloseThreadHandle(thread_); }

    // Lets the worker thread run. 0 when the command has no thread.
    virtual int Start() {
        if (thread_ == nullptr)
            return 0;
        return platform::ResumeWorkerThread(thread_) ? 1 : 0;
    }

    virtual platform::ThreadHandle GetThreadHandle() { return thread_; }

    // Ends a command that was never listed as a task without running it: its thread only deletes
    // it and touches neither the owner nor the task list. Used instead of ending the suspended
    // thread by force, which is not safe everywhere.
    void Discard() {
        discarded_ = true;
        owner_ = nullptr;
        taskCallback_ = nullptr;
        if (!platform::ResumeWorkerThread(thread_))
            delete this;  // a thread that never runs is ended by closing its last handle
    }

    void SetOwner(T* owner) { owner_ = owner; }
    void SetTaskCallback(IHttpTaskCallback* taskCallback) { taskCallback_ = taskCallback; }

  protected:
    IHttpCommand() = default;
    IHttpCommand(const IHttpCommand&) = delete;
    IHttpCommand& operator=(const IHttpCommand&) = delete;

    bool IsDiscarded() const { return discarded_; }

    bool IsStopping() const { return taskCallback_ != nullptr && taskCallback_->IsStopping(); }

    // The last act of the worker thread: unregister the thread, then delete the command, whose
    // destructor closes the handle. Returns the thread's exit code.
    unsigned FinishTask() {
        if (taskCallback_ != nullptr)
            taskCallback_->OnTaskFinished(thread_);
        delete this;
        return 0;
    }

    IHttpTaskCallback* taskCallback_ = nullptr;
    T* owner_ = nullptr;
    bool discarded_ = false;  // written before the thread first runs
    platform::ThreadHandle thread_ = nullptr;
};
