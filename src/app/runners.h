// The three action runners: each builds the objects of one run on its stack, runs them until
// the work ends and tears them down.
#pragma once

#include <string>

void RunCheck(std::wstring appid, bool silent, bool newBinMode);

// 0 when the download succeeded, -1 otherwise.
int RunForceDownload(std::wstring appid, std::wstring pid, std::wstring binVersion, bool silent,
                     std::wstring loginuin);

// Always true.
bool RunInstall(bool silent, std::wstring pid, std::wstring appid, bool force,
                std::wstring loginuin);
