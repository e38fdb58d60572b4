// The main thread's message loop of an update run and its hidden main message window: starts the
// run through the callback its owner hands it, pumps messages until the run ends, and turns the
// end-of-run message into a quit. It knows nothing of what the run does.
#pragma once

#include <cstdint>
#include <functional>

#include "diagnostics/log.h"
#include "platform/message_loop.h"
#include "platform/types.h"

// Posted to the communication window when the downloaded packages are to be installed now.
inline constexpr uint32_t WM_UPDATE_INSTALL = 3023;
// Posted to the main message window when the run ends.
inline constexpr uint32_t WM_MESSAGE_THREAD_QUIT = 3025;

class CMainMessageThread : public LogHelpImpl<CMainMessageThread> {
  public:
    explicit CMainMessageThread(platform::ModuleInstance instance);
    ~CMainMessageThread() override;

    // Calls `start` on this thread, then pumps this thread's messages until the run has ended.
    void Run(const std::function<void()>& start);

    // The window that WM_MESSAGE_THREAD_QUIT ends the run through.
    platform::MessageTarget GetMainWindow() const { return mainWindow_; }

  private:
    platform::MessageTarget mainWindow_ = nullptr;
};
