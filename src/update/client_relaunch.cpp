#include "update/client_relaunch.h"

#include <vector>

#include "cmdline/cmd_line_parser.h"
#include "cmdline/vyn_cmd_checker.h"
#include "common/client_settings.h"
#include "common/format.h"
#include "common/text.h"
#include "diagnostics/log.h"
#include "platform/folders.h"
#include "platform/path.h"
#include "platform/process.h"

namespace relaunch {

namespace {

constexpr size_t kPlatformParamChars = 3096;
constexpr size_t kPlainParamChars = 260;

bool Has(const wchar_t* name) {
    return GetCmdLineParser().HasOption(name);
}
bool HasValue(const wchar_t* name) {
    return GetCmdLineParser().HasValue(name);
}

std::wstring NicknameArgument() {
    return GetCmdLineParser().QuoteArgument(L"-nickname:" + GetCmdLineValue(L"nickname"), false);
}

// Appends " -name:value" for each option present, in the order given.
void AppendPresentOptions(std::wstring& parameters, std::initializer_list<const wchar_t*> names) {
    for (const wchar_t* name : names) {
        if (!Has(name))
            continue;
        std::wstring format = std::wstring(L"%s -") + name + L":%s";
        parameters = FormatCut(kPlatformParamChars, format.c_str(), parameters.c_str(),
                               QuoteValue(GetCmdLineValue(name)).c_str());
    }
}

void StartLauncher(const std::wstring& path, const std::wstring* parameters) {
    platform::ProcessHandle process = nullptr;
    uint32_t error = 0;
    platform::StartProgram(path, parameters, platform::ShowCommand::Hide, process, error);
    platform::CloseProcessHandle(process);
}

}  // namespace

std::wstring QuoteValue(const std::wstring& value) {
    if (value.find_first_of(L" \t\n\v\r\"") == std::wstring::npos)
        return value;
    return QuoteCommandLineArgument(value, false);
}

std::wstring GetLauncherPath() {
    std::wstring appData;
    platform::GetRoamingAppDataFolder(appData);
    return FormatCut(platform::kMaxPathChars, L"%s%s", appData.c_str(),
                     WithNativeSeparators(L"\\Korvane\\Pallaton\\Launch.exe").c_str());
}

bool LaunchLauncher(const std::wstring* parameters) {
    std::wstring path = GetLauncherPath();
    if (!platform::PathExists(path))
        return false;
    StartLauncher(path, parameters);
    return true;
}

bool IsProgramRunning(const wchar_t* executableName, bool whenUnknown) {
    std::vector<std::wstring> names;
    if (!platform::ListProcessNames(names))
        return whenUnknown;
    for (const std::wstring& name : names) {
        if (EqualsIgnoreCaseAscii(name, executableName))
            return true;
    }
    return false;
}

bool LastRunGame() {
    if (Has(L"startupbyvyn")) {
        std::wstring path = GetLauncherPath();
        DeleteStartupAppId();
        if (!platform::PathExists(path))
            return false;
        if (!GetVYNCmdChecker()->HasRequiredParams()) {
            LogPrint(GetLogUtility(), L"CCheckUpdate::LaunchLastRunGame miss vyn required param");
            return false;
        }
        std::wstring parameters = FormatCut(
            kPlatformParamChars, L"-startupbyvyn -/appid:%s -uin:%s -sig:%s %s -fromupdate",
            QuoteValue(GetCmdLineValue(L"appid")).c_str(),
            QuoteValue(GetCmdLineValue(L"uin")).c_str(),
            QuoteValue(GetCmdLineValue(L"sig")).c_str(), NicknameArgument().c_str());
        AppendPresentOptions(parameters, {L"temppid"});
        if (HasValue(L"adparam")) {
            parameters = FormatCut(kPlatformParamChars, L"%s -adparam:%s", parameters.c_str(),
                                   QuoteValue(GetCmdLineValue(L"adparam")).c_str());
        }
        AppendPresentOptions(parameters, {L"vyn_hwnd", L"pipename", L"svrid"});
        StartLauncher(path, &parameters);
        return true;
    }

    std::wstring startupAppId;
    if (!ReadStartupAppId(startupAppId) || startupAppId.empty())
        return LaunchLauncher(nullptr);
    std::wstring path = GetLauncherPath();
    std::wstring parameters =
        FormatCut(kPlainParamChars,
                  Has(L"startup_from_plugin") ? L"-/appid:%s -fromupdate -startup_from_plugin"
                                              : L"-/appid:%s -fromupdate",
                  QuoteValue(startupAppId).c_str());
    if (HasValue(L"loginuin")) {
        parameters = FormatCut(kPlainParamChars, L"%s -loginuin:%s", parameters.c_str(),
                               QuoteValue(GetCmdLineValue(L"loginuin")).c_str());
    }
    DeleteStartupAppId();
    if (!platform::PathExists(path))
        return false;
    StartLauncher(path, &parameters);
    LogPrint(GetLogUtility(), L"CCheckUpdate::LaunchLastRunGame by newbin check,para=%s",
             parameters.c_str());
    return true;
}

bool LastRunApp(const std::wstring& appid, const std::wstring& loginUin,
                const std::function<void(const std::wstring&)>& writeLine) {
    if (Has(L"startupbyvyn")) {
        DeleteStartupAppId();
        std::wstring path = GetLauncherPath();
        if (!platform::PathExists(path))
            return false;
        if (!GetVYNCmdChecker()->HasRequiredParams()) {
            writeLine(L"CUpdatePackageInstall::LaunchLastRunApp miss vyn required param");
            return false;
        }
        std::wstring adparam = L"0";
        GetCmdLineParser().GetValue(L"adparam", adparam);
        std::wstring parameters =
            FormatCut(kPlatformParamChars,
                      L"-startupbyvyn -/appid:%s -uin:%s -sig:%s %s -fromupdate -adparam:%s",
                      QuoteValue(GetCmdLineValue(L"appid")).c_str(),
                      QuoteValue(GetCmdLineValue(L"uin")).c_str(),
                      QuoteValue(GetCmdLineValue(L"sig")).c_str(), NicknameArgument().c_str(),
                      QuoteValue(adparam).c_str());
        if (HasValue(L"url")) {
            parameters = FormatCut(kPlatformParamChars, L"%s -url:%s", parameters.c_str(),
                                   QuoteValue(GetCmdLineValue(L"url")).c_str());
        }
        AppendPresentOptions(parameters, {L"temppid", L"vyn_hwnd", L"pipename", L"svrid"});
        StartLauncher(path, &parameters);
        writeLine(L"CUpdatePackageInstall::LaunchLastRunApp:para=" + parameters);
        return true;
    }

    std::wstring id = appid;
    if (id.empty() && (!ReadStartupAppId(id) || id.empty())) {
        if (IsProgramRunning(L"PallatonTray.exe", false))
            return false;
        std::wstring fromUpdate = L"-fromupdate";
        return LaunchLauncher(&fromUpdate);
    }
    std::wstring path = GetLauncherPath();
    std::wstring parameters =
        FormatCut(kPlainParamChars, L"-/appid:%s -fromupdate", QuoteValue(id).c_str());
    if (Has(L"startup_from_plugin")) {
        parameters =
            FormatCut(kPlainParamChars, L"%s %s", parameters.c_str(), L"-startup_from_plugin");
    }
    if (!loginUin.empty() && loginUin != L"0") {
        parameters = FormatCut(kPlainParamChars, L"%s -loginuin:%s", parameters.c_str(),
                               QuoteValue(loginUin).c_str());
    }
    DeleteStartupAppId();
    if (!platform::PathExists(path))
        return false;
    StartLauncher(path, &parameters);
    return true;
}

}  // namespace relaunch
