// The three action runners: each builds the objects of one run on its stack, runs the main
// thread's messages until the work ends, and tears them down.
#include "app/runners.h"

#include "app/install_update_checker.h"
#include "cmdline/cmd_line_parser.h"
#include "diagnostics/log.h"
#include "install/update_package_install.h"
#include "platform/message_loop.h"
#include "update/check_update.h"
#include "update/main_message_thread.h"

namespace {

// How long the install loop sleeps between empty polls; any message wakes it at once.
constexpr uint32_t kInstallPollMs = 50;

// The install pass the controller runs when its packages are to be installed at once.
CCheckUpdate::InstallRunner InstallRunnerFor(platform::ModuleInstance instance) {
    return [instance](bool silent, const std::wstring& pid, const std::wstring& appid, bool force,
                      const std::wstring& loginuin) {
        RunInstall(instance, silent, pid, appid, force, loginuin);
    };
}

}  // namespace

void RunCheck(platform::ModuleInstance instance, std::wstring appid, bool silent, bool newBinMode) {
    CCheckUpdate checkUpdate(instance, appid, silent, newBinMode);
    CMainMessageThread messageThread(instance);
    checkUpdate.SetInstallRunner(InstallRunnerFor(instance));
    if (GetCmdLineParser().HasValue(L"loginuin")) {
        std::wstring loginUin = L"0";
        GetCmdLineParser().GetValue(L"loginuin", loginUin);
        checkUpdate.SetLoginUin(loginUin);
    }
    checkUpdate.SetMainMessageWindow(messageThread.GetMainWindow());
    messageThread.Run([&checkUpdate] { checkUpdate.StartRun(); });
}

int RunForceDownload(platform::ModuleInstance instance, std::wstring appid, std::wstring pid,
                     std::wstring binVersion, bool silent, std::wstring loginuin) {
    CCheckUpdate checkUpdate(instance, appid, pid, binVersion, true, loginuin);
    CMainMessageThread messageThread(instance);
    checkUpdate.SetInstallRunner(InstallRunnerFor(instance));
    checkUpdate.SetQuiet(silent);
    checkUpdate.SetMainMessageWindow(messageThread.GetMainWindow());
    messageThread.Run([&checkUpdate] { checkUpdate.StartRun(); });
    return checkUpdate.GetDownloadResult() != 0 ? 0 : -1;
}

bool RunInstall(platform::ModuleInstance instance, bool silent, std::wstring pid,
                std::wstring appid, bool, std::wstring loginuin) {
    LogPrint(GetLogUtility(), L"Start install packages.");
    CUpdatePackageInstall installer(silent, loginuin);
    CInstallUpdateChecker* guard = GetInstallUpdateChecker();
    installer.SetGuard(
        {[guard] { return guard->CreateInstallMutex(); }, [guard] { guard->CloseUpdateMutex(); }});
    installer.SetPid(pid);
    installer.SetAppId(appid);
    installer.LoadPackageRecord();
    if (installer.StartInstall(instance)) {
        platform::LoopMessage message;
        for (;;) {
            if (platform::PeekLoopMessage(message)) {
                if (message.message == platform::kQuitMessage)
                    break;
                platform::DispatchLoopMessage(message);
                continue;
            }
            if (installer.IsFinished())
                break;
            platform::WaitForLoopMessage(kInstallPollMs);
        }
        // A quit that ended the loop early must not free the installer under its worker.
        installer.WaitForWorker();
    }
    return true;
}
