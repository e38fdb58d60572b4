#include "update/check_update.h"

#include "cmdline/cmd_line_parser.h"
#include "common/client_settings.h"
#include "common/format.h"
#include "common/number.h"
#include "common/text.h"
#include "diagnostics/statistics.h"
#include "platform/message_box.h"
#include "platform/path.h"
#include "platform/registry.h"
#include "update/client_relaunch.h"
#include "update/main_message_thread.h"
#include "update/package_record.h"
#include "view/update_view.h"
#include "view/view_frame.h"

namespace {

const wchar_t kFailureCaption[] = L"Korvane\u5fae\u7aef";
const wchar_t kFailureText[] =
    L"\u975e\u5e38\u62b1\u6b49\uff0c\u5fae\u7aef\u4e0b\u8f7d\u5931\u8d25\uff0c\u8bf7\u91cd\u65b0"
    L"\u4e0b\u8f7d\u3002";

constexpr int kEventRequestNormal = 2800264;
constexpr int kEventRequestForced = 2800231;
constexpr int kEventDownloadNormal = 2800265;
constexpr int kEventDownloadForced = 2800272;
constexpr int kEventSucceededNormal = 2800276;
constexpr int kEventSucceededForced = 2800232;
constexpr int kEventFailedNormal = 2800266;
constexpr int kEventFailedForced = 2800233;

// The answer cut to the text from its first "{" to its last "}"; empty without both.
std::string TrimToBraces(const char* body) {
    std::string text = body != nullptr ? body : "";
    size_t first = text.find('{');
    size_t last = text.rfind('}');
    if (first == std::string::npos || last == std::string::npos || last < first) {
        return std::string();
    }
    return text.substr(first, last - first + 1);
}

intptr_t CommunicationViewProc(platform::MessageTarget target, uint32_t message, uintptr_t wParam,
                               intptr_t lParam) {
    switch (message) {
        case platform::kDestroyMessage:
            platform::PostQuitToLoop(0);
            return 0;
        case WM_UPDATE_INSTALL:
            // The controller that made the window outlives its loop.
            if (auto* controller = static_cast<CCheckUpdate*>(platform::GetTargetContext(target))) {
                controller->RunInstallPass();
                controller->ExitAllThread();
            } else {
                platform::PostQuitToLoop(0);
            }
            return 0;
        default:
            return platform::DefaultMessageProc(target, message, wParam, lParam);
    }
}

}  // namespace

CCheckUpdate::CCheckUpdate(platform::ModuleInstance instance, const std::wstring& appid, bool quiet,
                           bool newBinMode)
    : instance_(instance), newBinMode_(newBinMode), appid_(appid), quiet_(quiet) {
    requestOwner_ = this;
    downloadOwner_ = this;
}

CCheckUpdate::CCheckUpdate(platform::ModuleInstance instance, const std::wstring& appid,
                           const std::wstring& pid, const std::wstring& binVersion,
                           bool forceDownload, const std::wstring& loginUin)
    : instance_(instance),
      newBinMode_(true),
      appid_(appid),
      pid_(pid),
      binVersion_(binVersion),
      loginUin_(loginUin),
      forceDownload_(forceDownload) {
    requestOwner_ = this;
    downloadOwner_ = this;
}

CCheckUpdate::~CCheckUpdate() {
    // The run is over: a failure message that another task still shows would keep its thread,
    // and so the shutdown, waiting for a person.
    platform::CloseMessageBoxes();
    // Tasks that still run call back into this object: stop and wait for them while its members
    // still exist; nothing is reported once the shutdown has begun.
    Shutdown();
}

void CCheckUpdate::CreateCommunicationView() {
    communicationView_ = platform::CreateMessageTarget(
        instance_, L"PallatonUpdateCommunicationView", CommunicationViewProc, this);
}

bool CCheckUpdate::IsClientInstalled() {
    std::wstring launchPath;
    std::wstring exe;
    if (!platform::registry::ReadString(kClientKey, L"LaunchPath", platform::kMaxPathChars,
                                        launchPath) ||
        !platform::registry::ReadString(kClientKey, L"Exe", platform::kMaxPathChars, exe)) {
        return false;
    }
    // The tray and updater programs stand beside the main program: replace its name when it is
    // the usual one (in any case), otherwise take the folder of whatever Exe names.
    // Only the whole file name counts: "OldPallaton.exe" is some other program.
    const std::wstring mainProgram = L"Pallaton.exe";
    size_t cut = exe.find_last_of(platform::kPathSeparator);
    size_t nameStart = cut == std::wstring::npos ? 0 : cut + 1;
    std::wstring base;
    if (EqualsIgnoreCaseAscii(exe.substr(nameStart), mainProgram)) {
        base = exe.substr(0, nameStart);
    } else {
        base = cut == std::wstring::npos ? std::wstring() : exe.substr(0, cut + 1);
    }
    std::wstring tray = base + L"PallatonTray.exe";
    std::wstring updater = base + L"PallatonUpdater.exe";
    if (platform::PathExists(launchPath) && platform::PathExists(exe) &&
        platform::PathExists(tray) && platform::PathExists(updater)) {
        return true;
    }
    platform::registry::DeleteKeyTree(kClientKey);
    return false;
}

bool CCheckUpdate::IsClientRunning() {
    return relaunch::IsProgramRunning(L"Pallaton.exe", true);
}

int CCheckUpdate::CheckIfHasPackageUpdate() {
    int appidNumber = ToInt32OrMinusOne(appid_);
    int pidNumber = ToInt32OrMinusOne(pid_);
    std::wstring url;
    if (!BuildRequestUrl(url)) {
        ExitAllThread();
        return 0;
    }
    LogPrint(GetLogUtility(), L"CheckIfHasPackageUpdate:url=%s", url.c_str());
    int started = Request(ToNarrow(url), &requestTaskId_);
    ReportStatistic(forceDownload_ ? kEventRequestForced : kEventRequestNormal, 0, appidNumber,
                    pidNumber, 2);
    if (!started) {
        // A request that never runs never reports: take its failure path now.
        OnRequestResult(requestTaskId_, 0, 0, "");
    }
    return 1;
}

void CCheckUpdate::ShowFailureMessage() const {
    if (forceDownload_ && !quiet_)
        platform::ShowMessageBox(kFailureCaption, kFailureText);
}

void CCheckUpdate::OnRequestResult(int taskId, int success, long httpCode, const char* body) {
    LogPrint(GetLogUtility(), L"Update Request:[http code:%d], [result:%s]",
             static_cast<int>(httpCode), ToWide(body != nullptr ? body : "").c_str());
    if (success == 0 || taskId != requestTaskId_) {
        LogPrint(GetLogUtility(), L"Update request failed.");
        ShowFailureMessage();
        ExitAllThread();
        return;
    }
    bool hasPackages;
    {
        std::lock_guard<std::recursive_mutex> lock(listLock_);
        hasPackages = packages_.ParseUpdateAnswer(TrimToBraces(body));
    }
    if (hasPackages) {
        if (!quiet_)
            ShowUpdateView(instance_, progress_view::kDownloadMode);
        DownloadUpdatePackage();
        return;
    }
    std::wstring autorunning = L"true";
    GetCmdLineParser().GetValue(L"autorunning", autorunning);
    if (newBinMode_ && autorunning != L"false")
        LaunchLastRunGame();
    ExitAllThread();
}

void CCheckUpdate::DownloadUpdatePackage() {
    LogPrint(GetLogUtility(), L"Start Download update packages");
    int pidNumber = ToInt32OrMinusOne(pid_);
    // What the presence check of each package needs, copied out under the list lock.
    struct Candidate {
        PackageRecord* record;
        std::wstring localPath;
        int64_t fileSize;
        std::wstring md5;
        bool present = false;
    };
    std::vector<Candidate> candidates;
    {
        std::lock_guard<std::recursive_mutex> lock(listLock_);
        PackageRecord* record = nullptr;
        while (packages_.TakeNextPackage(record))
            candidates.push_back({record, record->localPath, record->fileSize, record->md5});
    }
    // A package that an earlier run downloaded and whose install was put off is not fetched
    // again. Telling so digests the whole file, which takes long for a large one: it is done
    // before any download starts and without the list lock, which the downloads' progress
    // reports take, so that no download waits for it and runs into its stall limit. The pieces
    // and state that an unfinished download left beside a package that is there are of no use.
    for (Candidate& candidate : candidates) {
        candidate.present =
            IsPackageAlreadyPresent(candidate.localPath, candidate.fileSize, candidate.md5);
        if (candidate.present)
            DeleteDownloadLeftovers(candidate.localPath);
    }
    std::vector<std::pair<int, std::string>> notStarted;
    std::vector<int> present;
    {
        std::lock_guard<std::recursive_mutex> lock(listLock_);
        for (const Candidate& candidate : candidates) {
            PackageRecord* record = candidate.record;
            currentRecord_ = record;
            LogPrint(GetLogUtility(), L"DownloadUpdatePackage:url=%s", record->url.c_str());
            int taskId = 0;
            std::string localPath = ToNarrowPath(record->localPath);
            int started = 0;
            // A package found present is done at once, with a task id of its own; nothing is
            // downloaded for it, so it reports no download events.
            if (candidate.present) {
                LogPrint(GetLogUtility(), L"Package already present, not downloaded again:[%s]",
                         record->localPath.c_str());
                taskId = nextTaskId_++;
                present.push_back(taskId);
                started = 1;
            } else {
                started = Download(ToNarrow(record->url), localPath, &taskId,
                                   ExpectedDownloadSize(record->fileSize), ToNarrow(record->md5));
            }
            if (taskId != 0) {
                tasks_.push_back(DownloadTask{taskId, 0.0, 0});
                record->taskId = taskId;
                if (!started)
                    notStarted.emplace_back(taskId, localPath);
            }
            if (!candidate.present)
                ReportStatistic(forceDownload_ ? kEventDownloadForced : kEventDownloadNormal, 0,
                                packages_.FindPackageIdByTask(taskId), pidNumber, 2);
        }
    }
    // A download that never runs never reports: take its failure path, outside the list lock.
    for (const auto& [taskId, localPath] : notStarted) {
        OnDownloadResult(taskId, 0, localPath.c_str());
    }
    for (int taskId : present) {
        OnDownloadProgress(taskId, 1.0);
        FinishTask(taskId);
    }
}

void CCheckUpdate::OnDownloadProgress(int taskId, double fraction) {
    if (!(fraction * 100 > 0) || quiet_)
        return;
    double mean;
    {
        std::lock_guard<std::recursive_mutex> lock(listLock_);
        if (tasks_.empty())
            return;
        double sum = 0.0;
        for (DownloadTask& task : tasks_) {
            if (task.taskId == taskId)
                task.progress = fraction;
            sum += task.progress;
        }
        mean = sum / static_cast<double>(tasks_.size());
    }
    if (UpdateViewImpl* view = GetUpdateView())
        view->SetPercent(mean);
}

bool CCheckUpdate::AllTasksDone() const {
    for (const DownloadTask& task : tasks_) {
        if (task.done == 0)
            return false;
    }
    return true;
}

void CCheckUpdate::OnDownloadResult(int taskId, int success, const char* localPath) {
    LogPrint(GetLogUtility(), L"Download package: %s, FileName:[%s]",
             success ? L"succeed" : L"failed",
             ToWidePath(localPath != nullptr ? localPath : "").c_str());
    int pidNumber = ToInt32OrMinusOne(pid_);
    std::unique_lock<std::recursive_mutex> lock(listLock_);
    int packageId = packages_.FindPackageIdByTask(taskId);
    if (!success) {
        lock.unlock();
        if (forceDownload_) {
            ReportStatistic(kEventFailedForced, 0, packageId, pidNumber, 2);
        } else {
            ReportStatistic(kEventFailedNormal, 0, packageId, -1, 2);
        }
        ShowFailureMessage();
        ExitAllThread();
        return;
    }
    if (forceDownload_) {
        ReportStatistic(kEventSucceededForced, 0, packageId, pidNumber, 2);
    } else {
        ReportStatistic(kEventSucceededNormal, 0, packageId, -1, 2);
    }
    lock.unlock();
    FinishTask(taskId);
}

void CCheckUpdate::FinishTask(int taskId) {
    {
        std::lock_guard<std::recursive_mutex> lock(listLock_);
        for (DownloadTask& task : tasks_) {
            if (task.taskId == taskId) {
                task.done = 1;
                break;
            }
        }
        if (!AllTasksDone())
            return;
        packages_.WritePackageRecord();
    }

    if (forceDownload_) {
        downloadSucceeded_ = 1;
        platform::PostLoopMessage(communicationView_, WM_UPDATE_INSTALL, 0, 0);
    } else if (newBinMode_) {
        platform::PostLoopMessage(communicationView_, WM_UPDATE_INSTALL, 0, 0);
    } else if (IsClientRunning()) {
        LogPrint(GetLogUtility(), L"App process running, update package next time.");
        platform::registry::WriteDword(kClientKey, L"UpdateFlag", 1);
        ExitAllThread();
    } else {
        platform::PostLoopMessage(communicationView_, WM_UPDATE_INSTALL, 0, 0);
    }
}

void CCheckUpdate::ExitAllThread() {
    LogPrint(GetLogUtility(), L"ExitAllThread Function Call");
    DeleteStartupAppId();
    platform::PostLoopMessage(communicationView_, platform::kQuitMessage, 0, 0);
    if (mainMessageWindow_ != nullptr) {
        platform::PostLoopMessage(mainMessageWindow_, WM_MESSAGE_THREAD_QUIT, 0, 0);
    }
}

void CCheckUpdate::StartRun() {
    // The progress window is made on this thread now, so that its timer runs here before the
    // first progress arrives from a transfer thread.
    if (!quiet_) {
        ShowUpdateView(instance_, progress_view::kDownloadMode);
        HideUpdateView();
    }
    CreateCommunicationView();
    CheckIfHasPackageUpdate();
}

void CCheckUpdate::RunInstallPass() {
    if (installRunner_)
        installRunner_(quiet_, pid_, appid_, forceDownload_, loginUin_);
}

bool CCheckUpdate::LaunchLastRunGame() {
    return relaunch::LastRunGame();
}
