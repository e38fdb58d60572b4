// The running process itself and the programs it starts: start through the shell with a
// parameter string, wait with a time-out, exit code, and a snapshot of running processes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/file.h"
#include "platform/wait_result.h"

namespace platform {

// Sets the system's default error mode (Windows SetErrorMode(0); nothing to do on Linux).
void SetDefaultErrorMode();

using ProcessHandle = void*;

enum class ShowCommand { Hide, ShowDefault };

// Starts `file` with `parameters` (null for none), as ShellExecuteExW does with no verb and
// SEE_MASK_NOCLOSEPROCESS. Linux: the file is executed directly, never through a shell, with the
// parameters split by the Windows rules and its standard streams on /dev/null; a file without
// the execute bit is given it first. On failure returns false and sets `error` to the system's
// error code. On success `process` may still be null (Windows: the file was handed to a program
// that was already running).
bool StartProgram(const std::wstring& file, const std::wstring* parameters, ShowCommand show,
                  ProcessHandle& process, uint32_t& error);

// How the start of a held program file ended.
enum class HeldStart { Started, Failed, NotTheHeldFile };

// Starts the program file that `held` holds open, at `path`, as a process of its own, never
// through a program that opens files of its kind: the command line is `path` in quotes, then a
// blank and `parameters` where there are any (null for none), as StartProgram gives it. Windows:
// the process is created suspended and runs only when its image is the very file held (the
// same volume and file index); otherwise it is ended before it ran and NotTheHeldFile is
// returned. Linux: as StartProgram, with no comparison. Failed sets `error` to the system's
// error code.
HeldStart StartHeldProgram(const InputFile& held, const std::wstring& path,
                           const std::wstring* parameters, ShowCommand show, ProcessHandle& process,
                           uint32_t& error);

// Waits for the process to end: kWaitSignalled, kWaitTimeout or kWaitFailed (a null handle).
uint32_t WaitForProcess(ProcessHandle process, uint32_t milliseconds);

// The exit code of an ended process; false while it runs or for a null handle.
bool GetProcessExitCode(ProcessHandle process, uint32_t& exitCode);

// Releases the handle; the process itself goes on running.
void CloseProcessHandle(ProcessHandle process);

// The executable file names (without folder) of the running processes. Linux: for each
// process the base names of /proc/PID/exe and of its first argument, so a process may
// contribute two names. False when the snapshot cannot be taken.
bool ListProcessNames(std::vector<std::wstring>& names);

}  // namespace platform
