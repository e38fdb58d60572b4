// A modal message box with an OK button that blocks the calling thread until it is closed.
// Linux: a small dialog of our own when a display is there, else the text on standard error.
#pragma once

#include <string>

namespace platform {

void ShowMessageBox(const std::wstring& caption, const std::wstring& text);

// Closes every message box of the process that is still open, as OK would, and makes later calls
// of ShowMessageBox return at once without a box: for the end of a run, which must not wait for
// a person to close a box that another thread still shows.
void CloseMessageBoxes();

}  // namespace platform
