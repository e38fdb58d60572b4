#include "install/update_package_install.h"

#include <vector>

#include "cmdline/cmd_line_parser.h"
#include "common/client_settings.h"
#include "common/exit_status.h"
#include "common/format.h"
#include "common/number.h"
#include "diagnostics/statistics.h"
#include "install/installer_folder.h"
#include "install/installer_signers.h"
#include "install/md5_check.h"
#include "platform/clock.h"
#include "platform/folders.h"
#include "platform/path.h"
#include "platform/process.h"
#include "platform/profile.h"
#include "platform/signature.h"
#include "update/client_relaunch.h"
#include "view/update_view.h"
#include "view/view_frame.h"

namespace {

constexpr size_t kAppIdListChars = 1024;
constexpr size_t kMaxAppIdListChars = 1 << 20;
constexpr size_t kRecordValueChars = 260;
constexpr size_t kParamChars = 260;
constexpr uint32_t kInstallerWaitMs = 20000;
constexpr int kEventStartedWithPid = 2800234;
constexpr int kEventFailedWithPid = 2800235;
constexpr int kEventStartedWithoutPid = 2800267;
constexpr int kEventFailedWithoutPid = 2800268;

unsigned InstallThreadProc(void* argument) {
    static_cast<CUpdatePackageInstall*>(argument)->InstallPackages();
    return 0;
}

std::vector<std::wstring> SplitAppIds(const std::wstring& list) {
    std::vector<std::wstring> appids;
    size_t start = 0;
    while (start <= list.size()) {
        size_t end = list.find(L'|', start);
        if (end == std::wstring::npos)
            end = list.size();
        if (end > start)
            appids.push_back(list.substr(start, end - start));
        start = end + 1;
    }
    return appids;
}

// Whether installers' signers are judged: the build pins signers, and the system checks
// signatures.
bool SignersJudged() {
    return !installer_signers::Pins().empty() && platform::SystemChecksSignatures();
}

// Starts an installer: where signers are judged, the held file itself as a program of its own;
// otherwise through the system's handling of the file, as before. False when it did not start;
// a program that started but was not the held file is ended and sets `refusal`.
bool StartInstaller(bool judged, const platform::InputFile& held, const std::wstring& file,
                    const std::wstring* parameters, platform::ProcessHandle& process,
                    uint32_t& error, std::wstring& refusal) {
    if (!judged)
        return platform::StartProgram(file, parameters, platform::ShowCommand::ShowDefault, process,
                                      error);
    switch (platform::StartHeldProgram(held, file, parameters, platform::ShowCommand::ShowDefault,
                                       process, error)) {
        case platform::HeldStart::Started:
            return true;
        case platform::HeldStart::NotTheHeldFile:
            refusal = L"started program is not the checked file";
            return false;
        case platform::HeldStart::Failed:
            break;
    }
    return false;
}

}  // namespace

std::wstring GetInstallRecordPath() {
    std::wstring folder;
    if (platform::GetRoamingAppDataFolder(folder)) {
        folder = platform::AppendPath(folder, WithNativeSeparators(L".\\Korvane\\PLTNDownload"));
    } else {
        folder = platform::GetTempFolder();
    }
    if (folder.empty()) {
        LogPrint(GetLogUtility(), L"No download folder of the user's own: no package record");
        return std::wstring();
    }
    return platform::AppendPath(folder, L"Pallaton_ResourceUpdate.ini");
}

CUpdatePackageInstall::CUpdatePackageInstall(bool silent, const std::wstring& loginUin)
    : loginUin_(loginUin), silent_(silent) {}

CUpdatePackageInstall::~CUpdatePackageInstall() {
    platform::CloseThreadHandle(workerThread_);
}

bool CUpdatePackageInstall::LoadPackageRecord() {
    std::wstring record = GetInstallRecordPath();
    if (!platform::PathExists(record))
        return false;
    // The record is deleted below, so every package it names must be read now: a list that
    // fills its buffer may have been cut, and is read again with a larger one.
    std::wstring list;
    for (size_t chars = kAppIdListChars;; chars *= 2) {
        list = platform::ReadIniString(record, L"info", L"appid", L"", chars);
        if (list.size() + 1 < chars)
            break;
        if (chars >= kMaxAppIdListChars) {
            LogPrint(GetLogUtility(), L"Package record appid list cut at %d characters",
                     static_cast<int>(list.size()));
            break;
        }
    }
    for (const std::wstring& appid : SplitAppIds(list)) {
        std::wstring path =
            platform::ReadIniString(record, appid, L"package", L"", kRecordValueChars);
        std::wstring md5 = platform::ReadIniString(record, appid, L"md5", L"", kRecordValueChars);
        LogPrint(GetLogUtility(), L"Package path:%s", path.c_str());
        // The digest is taken once, by the pass (VerifyAll), which holds the file from then until
        // its installer starts: another updater may rewrite the download folder once the pass
        // has given up the update mutex, and a second full read of every package would double
        // the cost of the pass.
        if (!platform::PathExists(path)) {
            LogPrint(GetLogUtility(), L"MD5 check failed:[File:%s]", path.c_str());
            continue;
        }
        if (packages_.count(appid) == 0) {
            packages_.emplace(appid,
                              std::make_unique<PackageEntry>(PackageEntry{appid, path, md5}));
        }
    }
    platform::DeletePath(record);
    return !packages_.empty();
}

bool CUpdatePackageInstall::StartInstall(platform::ModuleInstance instance) {
    if (!silent_)
        ShowUpdateView(instance, progress_view::kInstallMode);
    workerThread_ = platform::CreateWorkerThread(InstallThreadProc, this, false);
    return workerThread_ != nullptr;
}

void CUpdatePackageInstall::WaitForWorker() {
    if (workerThread_ != nullptr)
        platform::WaitForThread(workerThread_, platform::kWaitInfinite);
}

bool CUpdatePackageInstall::InstallPackages() {
    // From here on a new updater may start: the install mutex tells other processes that a
    // pass is under way instead.
    platform::MutexHandle installMutex =
        guard_.createInstallMutex ? guard_.createInstallMutex() : nullptr;
    if (guard_.closeUpdateMutex)
        guard_.closeUpdateMutex();

    if (!installer_signers::Pins().empty() && !platform::SystemChecksSignatures())
        LogPrint(GetLogUtility(), L"Installer signatures are not checked on this system");
    bool judged = SignersJudged();
    // Every digest comes first, so that the progress counts only the packages that may run.
    std::vector<std::unique_ptr<VerifiedPackage>> verified = VerifyAll(judged);
    int total = static_cast<int>(verified.size());
    ShowProgress(0, total);
    // Every verified package runs: the record is already gone, so one left out would be lost.
    // Each one's folder and file go once its installer has been handled.
    for (size_t index = 0; index < verified.size(); ++index) {
        InstallPackage(*verified[index], judged, static_cast<int>(index), total);
        verified[index].reset();
    }

    platform::SleepMilliseconds(1000);
    platform::CloseNamedMutex(installMutex);
    ShowProgress(total, total);
    packages_.clear();

    std::wstring autorunning = L"true";
    GetCmdLineParser().GetValue(L"autorunning", autorunning);
    if (autorunning != L"false")
        LaunchLastRunApp();
    finished_.store(true);
    return true;
}

std::vector<std::unique_ptr<CUpdatePackageInstall::VerifiedPackage>>
CUpdatePackageInstall::VerifyAll(bool judged) {
    std::vector<std::unique_ptr<VerifiedPackage>> verified;
    for (auto it = packages_.begin(); it != packages_.end(); it = packages_.erase(it)) {
        // A package whose file has gone since the record was read is skipped without a word.
        if (!platform::PathExists(it->second->packagePath))
            continue;
        auto package = std::make_unique<VerifiedPackage>();
        if (OpenVerified(*it->second, judged, package->held)) {
            package->entry = std::move(it->second);
            verified.push_back(std::move(package));
        }
    }
    return verified;
}

bool CUpdatePackageInstall::OpenVerified(const PackageEntry& entry, bool judged,
                                         platform::InputFile& held) {
    // The package's one check against its digest, before the first installer runs: another
    // updater may have rewritten the download folder since the record was read (the pass has
    // given up the update mutex). The file is held from the digest to the start, so that nobody
    // can replace it between the checks and the start.
    bool opened = judged ? held.OpenToMove(entry.packagePath) : held.Open(entry.packagePath);
    if (!opened && !platform::PathExists(entry.packagePath))
        LogPrint(GetLogUtility(), L"%s file not exists", entry.packagePath.c_str());
    if (!opened || !CheckHeldFileMd5(held, entry.packagePath, entry.md5)) {
        LogPrint(GetLogUtility(), L"MD5 check failed:[File:%s]", entry.packagePath.c_str());
        return false;
    }
    return true;
}

std::wstring CUpdatePackageInstall::JudgeInstaller(const PackageEntry& entry,
                                                   platform::InputFile& held,
                                                   InstallerFolder& folder, std::wstring& started,
                                                   std::wstring& signer) {
    // The installer starts from a folder that holds it alone, made for this start, and a refused
    // file is deleted rather than left beside the next installer.
    started = entry.packagePath;
    signer = L"none";
    std::wstring refusal;
    if (folder.MoveIn(held, entry.packagePath)) {
        started = folder.FilePath();
        refusal = installer_signers::FindRefusal(held, started, signer);
    } else {
        refusal = L"no folder of its own";
    }
    if (!refusal.empty()) {
        held.Close();
        folder.Remove();
        platform::DeletePath(entry.packagePath);
    }
    return refusal;
}

void CUpdatePackageInstall::InstallPackage(VerifiedPackage& package, bool judged, int index,
                                           int total) {
    const PackageEntry& entry = *package.entry;
    platform::InputFile& held = package.held;
    std::wstring started = entry.packagePath;
    std::wstring signer = L"none";
    std::wstring refusal;
    if (judged)
        refusal = JudgeInstaller(entry, held, package.folder, started, signer);
    std::wstring file = FormatCut(kRecordValueChars, L"%s", started.c_str());
    int appidNumber = -1;
    bool appidConverted = TryToInt32(entry.appid, appidNumber);
    if (!appidConverted)
        appidNumber = -1;
    // Only an appid that is not a number takes the PID number with it; the appid -1 does not.
    int pidNumber = appidConverted ? ToInt32OrMinusOne(pid_) : -1;

    bool withPid = !pid_.empty();
    std::wstring parameters;
    if (withPid) {
        parameters = InstallerParameters();
        ReportStatistic(kEventStartedWithPid, 0, appidNumber, pidNumber, 2);
    } else {
        ReportStatistic(kEventStartedWithoutPid, 0, appidNumber, -1, 2);
    }
    LogPrint(GetLogUtility(), L"Install package process:[%s], [param:%s]", file.c_str(),
             withPid ? parameters.c_str() : nullptr);

    if (refusal.empty() && beforeStart_)
        beforeStart_(file);
    platform::ProcessHandle process = nullptr;
    uint32_t error = 0;
    // A refused installer is one that could not start.
    if (!refusal.empty() || !StartInstaller(judged, held, file, withPid ? &parameters : nullptr,
                                            process, error, refusal)) {
        if (withPid) {
            ReportStatistic(kEventFailedWithPid, 0, appidNumber, pidNumber, 2);
        } else {
            ReportStatistic(kEventFailedWithoutPid, 0, appidNumber, -1, 2);
        }
        if (!refusal.empty()) {
            LogPrint(GetLogUtility(), L"Install package refused, signer:[%s], reason:[%s]",
                     signer.c_str(), refusal.c_str());
        } else {
            LogPrint(GetLogUtility(), L"Install package error.err=%lu",
                     static_cast<unsigned long>(error));
        }
        return;
    }
    held.Close();
    AwaitInstaller(process, file, index, total);
}

void CUpdatePackageInstall::AwaitInstaller(platform::ProcessHandle process,
                                           const std::wstring& file, int index, int total) {
    uint32_t wait = platform::WaitForProcess(process, kInstallerWaitMs);
    if (wait != platform::kWaitSignalled) {
        LogPrint(GetLogUtility(), L"Wait to Install package err.err=%lu, szFilePath=%s.",
                 static_cast<unsigned long>(wait), file.c_str());
        platform::CloseProcessHandle(process);
        return;
    }
    ShowProgress(index + 1, total);
    uint32_t exitCode = 0xFFFFFFFF;
    bool haveExitCode = platform::GetProcessExitCode(process, exitCode);
    if (haveExitCode && exitCode == 0) {
        SetProcessExitStatus(0);
    }
    platform::CloseProcessHandle(process);
    if (haveExitCode && exitCode == 0) {
        LogPrint(GetLogUtility(), L"Install package success.");
    } else {
        LogPrint(GetLogUtility(), L"Install package failed.exitcode=%d",
                 static_cast<int>(exitCode));
    }
}

void CUpdatePackageInstall::ShowProgress(int current, int total) const {
    if (silent_ || total == 0)
        return;
    if (progress_)
        progress_(current, total);
    if (UpdateViewImpl* view = GetUpdateView())
        view->SetProgress(current, total);
}

std::wstring CUpdatePackageInstall::InstallerParameters() const {
    std::wstring parameters =
        FormatCut(kParamChars, L"/PID=%s", relaunch::QuoteValue(pid_).c_str());
    if (GetCmdLineParser().HasOption(L"startup_from_plugin"))
        parameters = FormatCut(kParamChars, L"%s %s", parameters.c_str(), L"-startup_from_plugin");
    if (!loginUin_.empty() && loginUin_ != L"0") {
        parameters = FormatCut(kParamChars, L"%s -loginuin:%s", parameters.c_str(),
                               relaunch::QuoteValue(loginUin_).c_str());
    }
    return parameters;
}

bool CUpdatePackageInstall::CheckFileMd5(const std::wstring& path,
                                         const std::wstring& expectedMd5) {
    return ::CheckFileMd5(path, expectedMd5);
}

bool CUpdatePackageInstall::LaunchLastRunApp() {
    // Whole lines, so that the next line of the log does not run on from these: the text is
    // cut so that with its line end it fits the line buffer.
    return relaunch::LastRunApp(appid_, loginUin_, [this](const std::wstring& line) {
        WriteLiteral(logging::CutText(line, logging::kLineChars - 2) + L"\n");
    });
}
