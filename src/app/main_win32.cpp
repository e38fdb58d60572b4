// The Windows entry point of the GUI-subsystem program.
#include <windows.h>

#include "app/updater_main.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR commandLine, int) {
    return UpdaterMain(instance, commandLine);
}
