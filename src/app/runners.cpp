// The update check, the forced download and the install pass are not connected yet: the check
// ends at once, the forced download reports that nothing was downloaded, and the install pass
// finds no package.
#include "app/runners.h"

#include "diagnostics/log.h"

void RunCheck(std::wstring, bool, bool) {}

int RunForceDownload(std::wstring, std::wstring, std::wstring, bool, std::wstring) {
    return -1;
}

bool RunInstall(bool, std::wstring, std::wstring, bool, std::wstring) {
    LogPrint(GetLogUtility(), L"Start install packages.");
    return true;
}
