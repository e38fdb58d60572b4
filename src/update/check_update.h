// The update controller: builds the request from the registry and the command line, reads the
// service's answer, downloads every package it names, writes the package record, and decides
// between installing now, installing at the client's next start, relaunching, or ending.
#pragma once

#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "diagnostics/log.h"
#include "http/http_engine.h"
#include "http/http_result.h"
#include "platform/message_loop.h"
#include "platform/types.h"
#include "update/package_list.h"

struct DownloadTask {
    int taskId = 0;
    double progress = 0.0;
    int done = 0;
};

class CCheckUpdate : public LogHelpImpl<CCheckUpdate>,
                     public CHttpEngine<CCheckUpdate, CCheckUpdate>,
                     public CHttpDelegate<IHttpRequestResult, IHttpDownloadResult> {
  public:
    // check and newbin_check.
    CCheckUpdate(platform::ModuleInstance instance, const std::wstring& appid, bool quiet,
                 bool newBinMode);
    // force_download.
    CCheckUpdate(platform::ModuleInstance instance, const std::wstring& appid,
                 const std::wstring& pid, const std::wstring& binVersion, bool forceDownload,
                 const std::wstring& loginUin);
    ~CCheckUpdate() override;

    CCheckUpdate(const CCheckUpdate&) = delete;
    CCheckUpdate& operator=(const CCheckUpdate&) = delete;

    // Runs the install pass at once with the run's quiet flag, pid, appid, forced flag and login
    // uin; handed in by the runner that owns the controller.
    using InstallRunner =
        std::function<void(bool quiet, const std::wstring& pid, const std::wstring& appid,
                           bool force, const std::wstring& loginUin)>;
    void SetInstallRunner(InstallRunner runner) { installRunner_ = std::move(runner); }
    // Runs the install pass through the runner handed in (nothing without one).
    void RunInstallPass();

    void CreateCommunicationView();
    // 1 when the request was sent, 0 when the run was ended instead.
    int CheckIfHasPackageUpdate();

    void OnRequestResult(int taskId, int success, long httpCode, const char* body) override;
    void OnDownloadResult(int taskId, int success, const char* localPath) override;
    void OnDownloadProgress(int taskId, double fraction) override;

    void DownloadUpdatePackage();
    void ExitAllThread();
    bool LaunchLastRunGame();

    int GetDownloadResult() const { return downloadSucceeded_; }
    bool IsQuiet() const { return quiet_; }
    void SetQuiet(bool quiet) { quiet_ = quiet; }
    bool IsForceDownload() const { return forceDownload_; }
    std::wstring GetAppid() const { return appid_; }
    std::wstring GetPid() const { return pid_; }
    std::wstring GetLoginUin() const { return loginUin_; }
    void SetLoginUin(const std::wstring& loginUin) { loginUin_ = loginUin; }
    // The main message window of the run's message thread, which ExitAllThread ends.
    void SetMainMessageWindow(platform::MessageTarget window) { mainMessageWindow_ = window; }
    // On the message thread, first thing: prepares the progress window and the communication
    // window there, and sends the request.
    void StartRun();

    // -1, 0 or 1 as the first dotted version is older, equal or newer than the second.
    static int CompareVersion(const std::wstring& a, const std::wstring& b);
    // Whether the client's launcher, main program, tray and updater files all exist; when one is
    // missing, the client key is deleted.
    static bool IsClientInstalled();
    // Whether a process named Pallaton.exe runs (true when that cannot be told).
    static bool IsClientRunning();
    // The "apps" parameter: "id_version" of the installed applications.
    std::wstring GetInstalledAppVersions() const;
    // The request URL of this run (empty when the run ends without a request).
    bool BuildRequestUrl(std::wstring& url);

  private:
    bool AllTasksDone() const;
    // Marks the task done; the last one writes the record and decides what follows.
    void FinishTask(int taskId);
    void ShowFailureMessage() const;

    platform::ModuleInstance instance_;
    PackageList packages_;
    PackageRecord* currentRecord_ = nullptr;
    std::vector<DownloadTask> tasks_;
    int requestTaskId_ = 0;
    bool newBinMode_ = false;
    platform::MessageTarget communicationView_ = nullptr;
    std::wstring appid_;
    std::wstring pid_;
    std::wstring binVersion_;
    std::wstring loginUin_;
    // The message thread's main window, kept here because a worker thread may still end the run
    // after the runner has destroyed the message thread object.
    platform::MessageTarget mainMessageWindow_ = nullptr;
    int downloadSucceeded_ = 0;
    bool quiet_ = false;
    bool forceDownload_ = false;
    InstallRunner installRunner_;
    // Serialises the package and task lists between the threads that report results.
    std::recursive_mutex listLock_;
};
