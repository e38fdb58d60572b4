// The updater's entry point above the platform seam: wWinMain on Windows and main on Linux
// call it with the command line without the program name.
#pragma once

#include "platform/types.h"

int UpdaterMain(platform::ModuleInstance instance, const wchar_t* commandLine);

// The module instance saved at start-up, handed to every object that creates a window.
platform::ModuleInstance GetModuleInstance();
