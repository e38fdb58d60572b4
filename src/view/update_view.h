// The progress window: one per process, created by the first ShowUpdateView on the thread that
// will serve it, then shown, hidden and fed progress from any thread. It repaints itself from a
// 50 ms timer on that thread, which must keep pumping its messages.
#pragma once

#include <atomic>
#include <memory>

#include "platform/frame_composer.h"
#include "platform/layered_window.h"
#include "platform/types.h"

class UpdateView {
  public:
    // Registers the window class and creates the window.
    virtual bool Create() = 0;
    // Progress as a count of finished steps; total is at least 1.
    virtual void SetProgress(int current, int total) = 0;
    // Progress as a fraction of 1.
    virtual void SetPercent(double fraction) = 0;
    virtual ~UpdateView() = default;
};

class UpdateViewImpl : public UpdateView {
  public:
    // Starts the graphics library, loads the skin into the process-wide image slots and creates
    // the window (hidden). The mode starts as install.
    explicit UpdateViewImpl(platform::ModuleInstance instance);
    // Releases the skin images and ends the graphics library; only on the window's thread.
    ~UpdateViewImpl() override;

    bool Create() override;
    void SetProgress(int current, int total) override;
    void SetPercent(double fraction) override;

    int GetMode() const { return mode_.load(std::memory_order_relaxed); }
    void SetMode(int mode) { mode_.store(mode, std::memory_order_relaxed); }

    // Null when the window could not be created.
    platform::LayeredWindow* GetWindow() const { return window_.get(); }

    // Places the window in the work area, shows it, brings it to the front and arms the frame
    // timer, on the window's own thread.
    void PlaceAndShow();
    void Hide();

    // The frame timer's work: nothing while the window is hidden or a skin slot is empty; else
    // the spinner turns one step, the timer is re-armed and the frame drawn.
    void DrawTimerFrame();
    // Message 2023: the spinner turns one step and the frame is drawn whatever the window's
    // state, with no text in install mode; the timer is left alone.
    void DrawRequestedFrame();

  private:
    void DrawFrame(const std::wstring& text);

    std::atomic<int> mode_;
    platform::ModuleInstance instance_;
    platform::GraphicsToken graphicsToken_;
    std::unique_ptr<platform::LayeredWindow> window_;
};

// Creates the process-wide view on first use, then sets its mode, places and shows it, brings it
// to the front and arms its frame timer. From another thread than the window's, it reuses the
// existing window.
void ShowUpdateView(platform::ModuleInstance instance, int mode);

// Hides the window; its timer keeps running and frames are skipped while it is hidden.
void HideUpdateView();

// The process-wide view, or null before the first ShowUpdateView.
UpdateViewImpl* GetUpdateView();

// The spinner's angle of the last frame (0 before the first) and the percentage that download
// frames show.
int GetSpinnerAngle();
int GetViewPercent();
