#include "common/exit_status.h"

#include <atomic>

namespace {
std::atomic<int> g_exitStatus{1};
}

int GetProcessExitStatus() {
    return g_exitStatus.load();
}
void SetProcessExitStatus(int status) {
    g_exitStatus.store(status);
}
