// Start-up and action dispatch: wWinMain on Windows and main on Linux (app/main_win32.cpp,
// app/main_posix.cpp) call it with the command line without the program name.
#pragma once

#include "platform/types.h"

int UpdaterMain(platform::ModuleInstance instance, const wchar_t* commandLine);
