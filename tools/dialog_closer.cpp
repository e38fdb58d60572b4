// Closes the updater's failure message box in tests: waits up to the given number of seconds for
// a dialog (window class "#32770") whose caption starts with the given text, presses its OK
// button, and prints "closed" (or "none" when no such dialog appeared). Windows only: under Wine
// the box is a real dialog that would block the test.
//   dialog_closer CAPTION_PREFIX SECONDS
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "base/utf8.h"

int main(int argc, char** argv) {
    if (argc < 3)
        return 2;
    std::wstring prefix;
    if (!utf8::Decode(argv[1], prefix))
        return 2;
    DWORD deadline = GetTickCount() + static_cast<DWORD>(std::atoi(argv[2])) * 1000;
    while (GetTickCount() < deadline) {
        HWND dialog = FindWindowW(L"#32770", nullptr);
        wchar_t title[256] = {};
        if (dialog != nullptr && GetWindowTextW(dialog, title, 256) > 0 &&
            std::wstring(title).rfind(prefix, 0) == 0) {
            Sleep(200);  // let the box finish showing itself
            SendMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
            std::printf("closed\n");
            return 0;
        }
        Sleep(50);
    }
    std::printf("none\n");
    return 1;
}
