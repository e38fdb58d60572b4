// The transfer engine, a base class of its owner: it starts requests and downloads as tasks on
// worker threads of their own, keeps the list of running tasks, and owns libcurl's global state.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

#include "diagnostics/log.h"
#include "http/curl_api.h"
#include "http/disk_space.h"
#include "http/http_multi_dl_command.h"
#include "http/http_request_command.h"
#include "http/http_task_manager.h"

template <typename TRequestOwner, typename TDownloadOwner>
class CHttpEngine {
  public:
    CHttpEngine() { curl_global_init(CURL_GLOBAL_ALL); }

    // The owner must have called Shutdown already: the engine is destroyed after the owner's own
    // members, which running tasks may still use. This call only covers an owner that did not.
    ~CHttpEngine() { Shutdown(); }

    CHttpEngine(const CHttpEngine&) = delete;
    CHttpEngine& operator=(const CHttpEngine&) = delete;

    // Starts a GET whose answer goes to the request owner. `taskId` receives the task's id before
    // anything can be reported. Returns 1 when the task runs.
    int Request(std::string url, int* taskId) {
        int id = nextTaskId_++;
        if (taskId != nullptr)
            *taskId = id;
        if (taskManager_.IsStopping())
            return 0;
        auto* command = new CHttpRequestCommand<TRequestOwner>(std::move(url), id);
        command->SetOwner(requestOwner_);
        return StartCommand(command, L"CHttpEngine::Request");
    }

    // Starts the download of `url` to `localPath` (a path as ToNarrowPath gives it), whose
    // results and progress go to the download owner. `expectedSize` is the file's length in
    // bytes, or 0 when the caller has none; `expectedMd5` the digest text of the file, or empty
    // when the caller has none.
    int Download(std::string url, std::string localPath, int* taskId, uint64_t expectedSize,
                 const std::string& expectedMd5 = std::string()) {
        int id = nextTaskId_++;
        if (taskId != nullptr)
            *taskId = id;
        if (taskManager_.IsStopping())
            return 0;
        auto* command = new CHttpMultiDlCommand(std::move(url), std::move(localPath), id,
                                                expectedSize, expectedMd5, &diskSpace_);
        command->SetOwner(downloadOwner_);
        return StartCommand(command, L"CHttpEngine::Download");
    }

    // The disk space the engine's running downloads have reserved.
    http_disk::DiskSpace& DownloadDiskSpace() { return diskSpace_; }

    // Stops every task and waits for it, then releases libcurl. The owner calls it first thing in
    // its destructor, while the members that its result functions use still exist. No result or
    // progress reaches the owner once it has begun. Later calls do nothing.
    void Shutdown() {
        if (shutDown_)
            return;
        shutDown_ = true;
        taskManager_.Shutdown();
        curl_global_cleanup();
    }

  protected:
    // Declared before the task manager: running downloads hold reservations in it.
    http_disk::DiskSpace diskSpace_;
    TRequestOwner* requestOwner_ = nullptr;
    TDownloadOwner* downloadOwner_ = nullptr;
    CHttpTaskManager taskManager_;
    int nextTaskId_ = 1;

  private:
    // `caller` names the operation in the line that says why a task does not run.
    template <typename TCommand>
    int StartCommand(TCommand* command, const wchar_t* caller) {
        if (command->GetThreadHandle() == nullptr) {
            // Without a thread nobody would ever delete the command.
            LogPrint(GetLogUtility(), L"%s create thread fail", caller);
            delete command;
            return 0;
        }
        if (!taskManager_.AddTask(command->GetThreadHandle())) {
            // An unlisted task could outlive the shutdown and call into a destroyed owner, so it
            // never runs its transfer: its thread, which has not run any code yet, only deletes
            // the command.
            LogPrint(GetLogUtility(), L"%s add task fail: the task is not listed and does not run",
                     caller);
            command->Discard();
            return 0;
        }
        command->SetTaskCallback(&taskManager_);
        return command->Start();
    }

    bool shutDown_ = false;
};
