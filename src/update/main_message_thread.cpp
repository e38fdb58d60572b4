#include "update/main_message_thread.h"

#include "update/check_update.h"
#include "view/update_view.h"
#include "view/view_frame.h"

namespace {

CMainMessageThread* g_messageThread = nullptr;

intptr_t MainMessageWindowProc(platform::MessageTarget target, uint32_t message, uintptr_t wParam,
                               intptr_t lParam) {
    switch (message) {
        case platform::kDestroyMessage:
            platform::PostQuitToLoop(0);
            return 0;
        case WM_MESSAGE_THREAD_QUIT:
            if (g_messageThread != nullptr) {
                platform::PostLoopMessage(g_messageThread->GetMainWindow(), platform::kQuitMessage,
                                          0, 0);
            }
            return 0;
        default:
            return platform::DefaultMessageProc(target, message, wParam, lParam);
    }
}

}  // namespace

CMainMessageThread::CMainMessageThread(platform::ModuleInstance instance) : instance_(instance) {
    g_messageThread = this;
    mainWindow_ = platform::CreateMessageTarget(instance, L"Pallaton_MainMessageWindow",
                                                MainMessageWindowProc);
}

CMainMessageThread::~CMainMessageThread() {
    if (g_messageThread == this)
        g_messageThread = nullptr;
}

void CMainMessageThread::SetCheckUpdate(CCheckUpdate* checkUpdate) {
    checkUpdate_ = checkUpdate;
    if (checkUpdate_ != nullptr)
        checkUpdate_->SetMessageThread(this);
}

void CMainMessageThread::Run() {
    if (checkUpdate_ == nullptr)
        return;
    // The progress window is made on this thread now, so that its timer runs here before the
    // first progress arrives from a transfer thread.
    if (!checkUpdate_->IsQuiet()) {
        ShowUpdateView(instance_, progress_view::kDownloadMode);
        HideUpdateView();
    }
    checkUpdate_->CreateCommunicationView();
    checkUpdate_->CheckIfHasPackageUpdate();
    platform::LoopMessage message;
    while (platform::GetLoopMessage(message))
        platform::DispatchLoopMessage(message);
}
