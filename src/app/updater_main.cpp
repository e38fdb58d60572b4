// Start-up and action dispatch: the single-instance test, the log, the command line, the
// action's statistics event, the runner, and the exit code.
#include "app/updater_main.h"

#include <string>

#include "app/install_update_checker.h"
#include "app/runners.h"
#include "cmdline/cmd_line_parser.h"
#include "common/client_settings.h"
#include "common/exit_status.h"
#include "common/number.h"
#include "diagnostics/log.h"
#include "diagnostics/statistics.h"
#include "platform/process.h"

namespace {

platform::ModuleInstance g_instance = nullptr;

constexpr int kEventCheck = 2800275;
constexpr int kEventForceDownload = 2800230;

// A run is silent unless the client recorded the application it was started for.
bool IsSilentRun() {
    std::wstring startupAppId;
    return !ReadStartupAppId(startupAppId) || startupAppId.empty();
}

int FinishAction() {
    ShutdownStatistics();
    LogPrint(GetLogUtility(), L"Update process exit code:%d", GetProcessExitStatus());
    return GetProcessExitStatus();
}

}  // namespace

int UpdaterMain(platform::ModuleInstance instance, const wchar_t* commandLine) {
    if (GetInstallUpdateChecker()->IsUpdaterRunning())
        return -1;

    CreateLog();
    platform::SetDefaultErrorMode();
    g_instance = instance;

    LogPrint(GetLogUtility(), L"CmdLine:[%s]", commandLine != nullptr ? commandLine : L"");
    CCmdLineParser& parser = GetCmdLineParser();
    if (!parser.Parse(commandLine))
        return -1;

    std::wstring action;
    if (!parser.GetValue(L"action", action)) {
        LogPrint(GetLogUtility(), L"Update process exit code:%d", GetProcessExitStatus());
        return GetProcessExitStatus();
    }
    LogPrint(GetLogUtility(), L"Update Action:%s", action.c_str());

    bool silent = IsSilentRun();
    std::wstring appid = GetCmdLineValue(L"appid");
    std::wstring pid = GetCmdLineValue(L"pid");
    int appidNumber = ToInt32OrMinusOne(appid);
    int pidNumber = ToInt32OrMinusOne(pid);

    if (action == L"check") {
        ReportStatistic(kEventCheck, 0, appidNumber, pidNumber, 2);
        RunCheck(g_instance, std::wstring(), silent, false);
    } else if (action == L"newbin_check") {
        ReportStatistic(kEventCheck, 0, appidNumber, pidNumber, 2);
        RunCheck(g_instance, GetCmdLineValue(L"appid"), silent, true);
    } else if (action == L"install") {
        bool installSilent = parser.HasOption(L"startupbyvyn") ? false : silent;
        RunInstall(g_instance, installSilent, std::wstring(), std::wstring(), false, L"0");
    } else if (action == L"silent_install") {
        RunInstall(g_instance, silent, std::wstring(), std::wstring(), false, L"0");
    } else if (action == L"force_download") {
        ReportStatistic(kEventForceDownload, 0, appidNumber, pidNumber, 2);
        std::wstring loginuin = L"0";
        parser.GetValue(L"loginuin", loginuin);
        SetProcessExitStatus(RunForceDownload(g_instance, appid, pid,
                                              GetCmdLineValue(L"bin_version"),
                                              parser.HasOption(L"silent"), loginuin));
    } else {
        return -1;
    }
    return FinishAction();
}
