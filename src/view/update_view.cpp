// The process-wide progress window: its skin and progress state, the frame routine of its timer
// and of message 2023, and the calls that show, hide and feed it.
#include "view/update_view.h"

#include <mutex>
#include <vector>

#include "platform/clock.h"
#include "view/view_frame.h"
#include "view/view_progress.h"

using progress_view::FormatRequestedFrameText;
using progress_view::FormatViewText;
using progress_view::kDrawFrameMessage;
using progress_view::kFramePeriodMs;
using progress_view::kFrameTimerId;
using progress_view::kInstallMode;
using progress_view::NextSpinnerAngle;
using progress_view::PercentFromFraction;
using progress_view::PercentFromProgress;
using progress_view::PercentGate;
using progress_view::Placement;
using progress_view::PlaceView;
using progress_view::SkinImagePath;

namespace {

namespace layout = progress_view::frame_layout;

// Written by every thread that reports progress and read by the frames, without a lock.
std::atomic<int> g_percent{0};
// Turned by the frames, on the window's thread.
std::atomic<int> g_angle{0};

// The skin, loaded by each view's construction and drawn by its frames. A null slot (the image
// object could not be made) stops the timer frames.
std::unique_ptr<platform::SkinImage> g_background;
std::unique_ptr<platform::SkinImage> g_spinner;
std::unique_ptr<platform::SkinImage> g_textBar;

std::atomic<UpdateViewImpl*> g_view{nullptr};
std::mutex g_createMutex;

// The views that have a window, so that the window's messages and timer find their view.
std::mutex g_windowsMutex;
std::vector<UpdateViewImpl*> g_windowViews;

UpdateViewImpl* ViewOfTarget(platform::MessageTarget target) {
    std::lock_guard<std::mutex> lock(g_windowsMutex);
    for (UpdateViewImpl* view : g_windowViews) {
        if (view->GetWindow()->Target() == target)
            return view;
    }
    return nullptr;
}

void FrameTimerProc(platform::MessageTarget target, uintptr_t) {
    if (UpdateViewImpl* view = ViewOfTarget(target))
        view->DrawTimerFrame();
}

intptr_t ViewWindowProc(platform::MessageTarget target, uint32_t message, uintptr_t wParam,
                        intptr_t lParam) {
    if (message == kDrawFrameMessage) {
        if (UpdateViewImpl* view = ViewOfTarget(target))
            view->DrawRequestedFrame();
    }
    return platform::DefaultMessageProc(target, message, wParam, lParam);
}

}  // namespace

UpdateViewImpl::UpdateViewImpl(platform::ModuleInstance instance)
    : mode_(kInstallMode), instance_(instance), graphicsToken_(platform::StartGraphics()) {
    g_background = platform::SkinImage::Load(SkinImagePath(L"bg.png"));
    g_spinner = platform::SkinImage::Load(SkinImagePath(L"gb.png"));
    g_textBar = platform::SkinImage::Load(SkinImagePath(L"textbg.png"));
    Create();
}

UpdateViewImpl::~UpdateViewImpl() {
    if (window_) {
        std::lock_guard<std::mutex> lock(g_windowsMutex);
        std::erase(g_windowViews, this);
    }
    window_.reset();
    // The images belong to this view's graphics session and must go before it ends.
    g_background.reset();
    g_spinner.reset();
    g_textBar.reset();
    platform::StopGraphics(graphicsToken_);
}

bool UpdateViewImpl::Create() {
    if (window_)
        return true;
    window_ = platform::LayeredWindow::Create(instance_, layout::kWidth, layout::kHeight,
                                              &ViewWindowProc, progress_view::kWindowNames);
    if (!window_)
        return false;
    std::lock_guard<std::mutex> lock(g_windowsMutex);
    g_windowViews.push_back(this);
    return true;
}

void UpdateViewImpl::SetProgress(int current, int total) {
    g_percent.store(PercentFromProgress(current, total), std::memory_order_relaxed);
}

void UpdateViewImpl::SetPercent(double fraction) {
    // Each reporting thread keeps its own gate: the check costs a tick read and never waits.
    thread_local PercentGate gate;
    int percent = PercentFromFraction(fraction);
    if (gate.Admit(platform::GetTickCount32(), percent))
        g_percent.store(percent, std::memory_order_relaxed);
}

void UpdateViewImpl::PlaceAndShow() {
    if (!window_)
        return;
    window_->RunOnOwnerThread([this] {
        Placement place = PlaceView(window_->GetWorkArea());
        window_->MoveTo(place.x, place.y);
        window_->Show();
        window_->BringToFront();
        window_->Update();
        platform::SetLoopTimer(window_->Target(), kFrameTimerId, kFramePeriodMs, &FrameTimerProc);
    });
}

void UpdateViewImpl::Hide() {
    if (window_)
        window_->RunOnOwnerThread([this] { window_->Hide(); });
}

void UpdateViewImpl::DrawTimerFrame() {
    if (!window_ || !window_->IsVisible() || !g_background || !g_spinner || !g_textBar)
        return;
    g_angle.store(NextSpinnerAngle(g_angle.load()));
    // Re-armed before drawing: the next frame comes one period after this one began.
    platform::KillLoopTimer(window_->Target(), kFrameTimerId);
    platform::SetLoopTimer(window_->Target(), kFrameTimerId, kFramePeriodMs, &FrameTimerProc);
    DrawFrame(FormatViewText(GetMode(), g_percent.load(std::memory_order_relaxed)));
}

void UpdateViewImpl::DrawRequestedFrame() {
    if (!window_)
        return;
    g_angle.store(NextSpinnerAngle(g_angle.load()));
    DrawFrame(FormatRequestedFrameText(GetMode(), g_percent.load(std::memory_order_relaxed)));
}

void UpdateViewImpl::DrawFrame(const std::wstring& text) {
    platform::FrameBitmap bitmap(layout::kWidth, layout::kHeight, window_.get());
    platform::FrameContent content;
    content.background = g_background.get();
    content.textBar = g_textBar.get();
    content.spinner = g_spinner.get();
    content.text = text;
    content.angle = g_angle.load();
    platform::ComposeFrame(progress_view::kFrameLayout, content, bitmap);
    window_->Present(bitmap);
}

void ShowUpdateView(platform::ModuleInstance instance, int mode) {
    UpdateViewImpl* view = nullptr;
    {
        std::lock_guard<std::mutex> lock(g_createMutex);
        view = g_view.load();
        if (view == nullptr) {
            view = new UpdateViewImpl(instance);
            g_view.store(view);
        }
    }
    view->SetMode(mode);
    view->PlaceAndShow();
}

void HideUpdateView() {
    if (UpdateViewImpl* view = g_view.load())
        view->Hide();
}

UpdateViewImpl* GetUpdateView() {
    return g_view.load();
}

int GetSpinnerAngle() {
    return g_angle.load();
}

int GetViewPercent() {
    return g_percent.load(std::memory_order_relaxed);
}
