// Downloads one file with the transfer engine, as the update controller does for a package:
//   http_download URL LOCAL_PATH [EXPECTED_SIZE] [--view]
// Exit code 0 when the download succeeded, 1 when it failed, 2 for a usage error. Used by the
// download benchmark and for trying the engine by hand. With --view the download feeds the
// progress window as the update controller does: the window is shown (when there is a display)
// and served by the main thread, and every progress report goes to SetPercent.
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "http/http_engine.h"
#include "http/http_result.h"
#include "platform/message_loop.h"
#include "view/update_view.h"
#include "view/view_frame.h"

namespace {

class CDownloadTool : public CHttpEngine<CDownloadTool, CDownloadTool>,
                      public CHttpDelegate<IHttpRequestResult, IHttpDownloadResult> {
  public:
    CDownloadTool() {
        requestOwner_ = this;
        downloadOwner_ = this;
    }
    ~CDownloadTool() { Shutdown(); }

    int Run(const std::string& url, const std::string& path, uint64_t expectedSize) {
        int taskId = 0;
        if (Download(url, path, &taskId, expectedSize) != 1)
            return 1;
        if (view_ != nullptr) {
            // The window's frames are drawn by this thread's message loop.
            platform::LoopMessage message;
            while (!IsDone()) {
                platform::WaitForLoopMessage(platform::kWaitInfinite);
                while (platform::PeekLoopMessage(message))
                    platform::DispatchLoopMessage(message);
            }
        }
        std::unique_lock<std::mutex> lock(mutex_);
        finished_.wait(lock, [this] { return done_; });
        return success_ == 1 ? 0 : 1;
    }

    void OnRequestResult(int, int, long, const char*) override {}

    void OnDownloadResult(int, int success, const char*) override {
        std::lock_guard<std::mutex> lock(mutex_);
        success_ = success;
        done_ = true;
        finished_.notify_all();
        if (view_ != nullptr)
            platform::WakeLoopThread(loopThread_);
    }

    void OnDownloadProgress(int, double fraction) override {
        if (view_ != nullptr)
            view_->SetPercent(fraction);
    }

    // Shows the progress window in download mode; Run then serves it while it waits.
    void FeedView() {
        ShowUpdateView(platform::GetProcessModuleInstance(), progress_view::kDownloadMode);
        view_ = GetUpdateView();
        loopThread_ = platform::GetCurrentLoopThread();
    }

  private:
    bool IsDone() {
        std::lock_guard<std::mutex> lock(mutex_);
        return done_;
    }

    UpdateViewImpl* view_ = nullptr;
    platform::LoopThreadId loopThread_ = 0;
    std::mutex mutex_;
    std::condition_variable finished_;
    bool done_ = false;
    int success_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
    bool feedView = argc > 1 && std::strcmp(argv[argc - 1], "--view") == 0;
    if (feedView)
        --argc;
    if (argc < 3 || argc > 4) {
        std::fprintf(stderr, "usage: http_download URL LOCAL_PATH [EXPECTED_SIZE] [--view]\n");
        return 2;
    }
    uint64_t expectedSize = 0;
    if (argc == 4) {
        unsigned long long value = 0;
        if (std::sscanf(argv[3], "%llu", &value) != 1 || value > 0x7FFFFFFFFFFFFFFFull) {
            std::fprintf(stderr, "http_download: bad size %s\n", argv[3]);
            return 2;
        }
        expectedSize = value;
    }
    CDownloadTool tool;
    if (feedView)
        tool.FeedView();
    return tool.Run(argv[1], argv[2], expectedSize);
}
