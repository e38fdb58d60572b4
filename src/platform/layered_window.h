// A system window that shows a bitmap: borderless, never activated, kept out of the taskbar, with
// per-pixel alpha, its content handed over as a whole bitmap. Windows: a layered pop-up window.
// Linux: an override-redirect X window with a 32-bit ARGB visual, on the X display named by
// DISPLAY; when the connection to it is lost, the window is gone and every call on it does
// nothing, so the run goes on as without a display.
#pragma once

#include <functional>
#include <memory>

#include "platform/message_loop.h"
#include "platform/types.h"

namespace platform {

class FrameBitmap;

// A rectangle of the screen; right and bottom are exclusive.
struct WorkArea {
    int left = 0;
    int top = 0;
    int right = 0;
    int bottom = 0;
};

// The names the window is known by. Windows: the window class, the title and the class's menu
// resource name. Linux: the message target's class, WM_NAME, and the class hint's res_class
// (className) and res_name (programName).
struct WindowNames {
    const wchar_t* className = L"LayeredWindow";
    const wchar_t* title = L"";
    const wchar_t* menuName = nullptr;
    const wchar_t* programName = L"";
};

class LayeredWindow {
  public:
    // Creates the window hidden, owned by the calling thread, whose messages go to `proc`
    // (Windows answers WM_ERASEBKGND itself, without erasing). Null when the class cannot be
    // registered or the window cannot be created; on Linux also when there is no X display.
    static std::unique_ptr<LayeredWindow> Create(ModuleInstance instance, int width, int height,
                                                 MessageProc proc, const WindowNames& names = {});
    // Destroys the window; only on the owning thread.
    ~LayeredWindow();
    LayeredWindow(const LayeredWindow&) = delete;
    LayeredWindow& operator=(const LayeredWindow&) = delete;

    // The window as a message target: for posted messages and timers.
    MessageTarget Target() const;

    // The work area of the screen: what the window manager leaves to windows (Linux: the
    // _NET_WORKAREA of the current desktop, else the whole screen).
    WorkArea GetWorkArea() const;

    void MoveTo(int x, int y);
    void Show();
    void Hide();
    // Whether the window was last shown rather than hidden.
    bool IsVisible() const;
    // Restores it when minimised and raises it above the other windows once.
    void BringToFront();
    // Processes a pending repaint at once (UpdateWindow).
    void Update();

    // Makes the bitmap the window's content, blended with per-pixel alpha.
    void Present(FrameBitmap& frame);

    // Runs `task` where calls on the window are allowed. Windows: at once on the calling thread,
    // whose window calls act across threads. Linux: on the owning thread's loop (at once when the
    // caller is that thread), since only that thread talks to the X connection.
    void RunOnOwnerThread(std::function<void()> task);

    struct Impl;
    Impl& impl() const { return *impl_; }

  private:
    explicit LayeredWindow(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

}  // namespace platform
