#include "platform/message_box.h"

#include <windows.h>

namespace platform {

void ShowMessageBox(const std::wstring& caption, const std::wstring& text) {
    MessageBoxW(nullptr, text.c_str(), caption.c_str(), MB_OK);
}

}  // namespace platform
