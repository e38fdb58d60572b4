// A modal message box with an OK button that blocks the calling thread until it is closed.
// Linux: a small dialog of our own when a display is there, else the text on standard error.
#pragma once

#include <string>

namespace platform {

void ShowMessageBox(const std::wstring& caption, const std::wstring& text);

}  // namespace platform
