// The install pass: reads the package record left by a download, deletes it, then on a worker
// thread verifies every package against its digest, holding each verified file until its
// installer starts, runs the installers one after another, and relaunches the client.
#pragma once

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "diagnostics/log.h"
#include "install/installer_folder.h"
#include "platform/file.h"
#include "platform/named_mutex.h"
#include "platform/process.h"
#include "platform/thread.h"
#include "platform/types.h"

// The package record file: Korvane/PLTNDownload/Pallaton_ResourceUpdate.ini in the roaming
// application-data folder, or in the temporary folder when there is none.
std::wstring GetInstallRecordPath();

// What the install pass needs of the single-instance guard, handed in by its runner: the install
// mutex to take (the pass closes it) and the update mutex to give up.
struct InstallGuard {
    std::function<platform::MutexHandle()> createInstallMutex;
    std::function<void()> closeUpdateMutex;
};

class CUpdatePackageInstall : public LogHelpImpl<CUpdatePackageInstall> {
  public:
    CUpdatePackageInstall(bool silent, const std::wstring& loginUin);
    ~CUpdatePackageInstall() override;

    CUpdatePackageInstall(const CUpdatePackageInstall&) = delete;
    CUpdatePackageInstall& operator=(const CUpdatePackageInstall&) = delete;

    void SetPid(const std::wstring& pid) { pid_ = pid; }
    void SetAppId(const std::wstring& appid) { appid_ = appid; }
    void SetGuard(InstallGuard guard) { guard_ = std::move(guard); }
    // Tests only: runs with the path of each installer after its checks and right before it
    // starts, where another program could meddle with the file system.
    void SetBeforeStartForTesting(std::function<void(const std::wstring&)> hook) {
        beforeStart_ = std::move(hook);
    }
    // Tests only: receives each progress step that the pass gives the progress window.
    void SetProgressForTesting(std::function<void(int current, int total)> hook) {
        progress_ = std::move(hook);
    }

    // Reads the record into the package map (packages whose file is missing are left out) and
    // deletes the record file. True when at least one package is left. Digests are checked by
    // the pass, before its first installer starts.
    bool LoadPackageRecord();

    // Shows the progress window in install mode unless silent, and starts the worker thread.
    bool StartInstall(platform::ModuleInstance instance);

    // The pass itself, on the worker thread. Always true.
    bool InstallPackages();

    bool IsFinished() const { return finished_.load(); }

    // Waits until the worker thread has ended (at once when none was started).
    void WaitForWorker();

    bool CheckFileMd5(const std::wstring& path, const std::wstring& expectedMd5);

    bool LaunchLastRunApp();

  private:
    struct PackageEntry {
        std::wstring appid;
        std::wstring packagePath;
        std::wstring md5;
    };

    // A package that passed its digest check, with its file held from the check until its
    // installer starts. The folder comes first so that it outlives the held file: it can only
    // delete the file once nobody holds it.
    struct VerifiedPackage {
        std::unique_ptr<PackageEntry> entry;
        InstallerFolder folder;
        platform::InputFile held;
    };

    // Takes every package's digest, in key order, and empties the map: the packages that may
    // run, each file held open.
    std::vector<std::unique_ptr<VerifiedPackage>> VerifyAll(bool judged);
    // Runs one verified package's installer and waits for it.
    void InstallPackage(VerifiedPackage& package, bool judged, int index, int total);
    // Opens the package (to be moved where signers are `judged`) and checks its digest on the
    // held file; logs why not and returns false when it may not run.
    bool OpenVerified(const PackageEntry& entry, bool judged, platform::InputFile& held);
    // Moves the held installer into a folder of its own and judges its signer: why it may not
    // run, or an empty text. `started` receives the path to start, `signer` the signer's name.
    std::wstring JudgeInstaller(const PackageEntry& entry, platform::InputFile& held,
                                InstallerFolder& folder, std::wstring& started,
                                std::wstring& signer);
    // Waits for a started installer and logs how it ended.
    void AwaitInstaller(platform::ProcessHandle process, const std::wstring& file, int index,
                        int total);
    // The installer's parameters in a run with a PID: "/PID=...", and the plug-in's switch and
    // the login uin where the run has them.
    std::wstring InstallerParameters() const;
    // Shows a step on the progress window, unless the pass is silent or has no package.
    void ShowProgress(int current, int total) const;

    std::map<std::wstring, std::unique_ptr<PackageEntry>> packages_;
    InstallGuard guard_;
    std::function<void(const std::wstring&)> beforeStart_;
    std::function<void(int, int)> progress_;
    std::wstring pid_;
    std::wstring appid_;
    std::wstring loginUin_;
    platform::ThreadHandle workerThread_ = nullptr;
    std::atomic<bool> finished_{false};
    bool silent_;
};
