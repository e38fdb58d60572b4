#include "update/main_message_thread.h"

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

CMainMessageThread::CMainMessageThread(platform::ModuleInstance instance) {
    g_messageThread = this;
    mainWindow_ = platform::CreateMessageTarget(instance, L"Pallaton_MainMessageWindow",
                                                MainMessageWindowProc);
}

CMainMessageThread::~CMainMessageThread() {
    if (g_messageThread == this)
        g_messageThread = nullptr;
}

void CMainMessageThread::Run(const std::function<void()>& start) {
    if (start)
        start();
    platform::LoopMessage message;
    while (platform::GetLoopMessage(message))
        platform::DispatchLoopMessage(message);
}
