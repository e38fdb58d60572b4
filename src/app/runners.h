// The three action runners: each builds the objects of one run on its stack, runs them until
// the work ends and tears them down.
#pragma once

#include <string>

#include "platform/types.h"

void RunCheck(platform::ModuleInstance instance, std::wstring appid, bool silent, bool newBinMode);

// 0 when the download succeeded, -1 otherwise.
int RunForceDownload(platform::ModuleInstance instance, std::wstring appid, std::wstring pid,
                     std::wstring binVersion, bool silent, std::wstring loginuin);

// Always true.
bool RunInstall(platform::ModuleInstance instance, bool silent, std::wstring pid,
                std::wstring appid, bool force, std::wstring loginuin);
