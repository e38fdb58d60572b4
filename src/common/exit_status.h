// The process exit status: starts at 1 and is returned as the exit code. The install pass writes
// it from its worker thread while the main thread may read it, so it is atomic.
#pragma once

int GetProcessExitStatus();
void SetProcessExitStatus(int status);
