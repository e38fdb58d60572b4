#include "platform/message_box.h"

#include <windows.h>

#include <atomic>

namespace platform {

namespace {

std::atomic<bool> g_closing{false};

// Asks each dialog window of this process to close; a message box with only OK ends with it.
BOOL CALLBACK CloseIfOwnDialog(HWND window, LPARAM) {
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    wchar_t className[16] = {};
    if (process == GetCurrentProcessId() && GetClassNameW(window, className, 16) > 0 &&
        lstrcmpW(className, L"#32770") == 0) {
        PostMessageW(window, WM_CLOSE, 0, 0);
    }
    return TRUE;
}

}  // namespace

void ShowMessageBox(const std::wstring& caption, const std::wstring& text) {
    if (g_closing.load())
        return;
    MessageBoxW(nullptr, text.c_str(), caption.c_str(), MB_OK);
}

void CloseMessageBoxes() {
    g_closing.store(true);
    EnumWindows(&CloseIfOwnDialog, 0);
}

}  // namespace platform
