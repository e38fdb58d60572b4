// The progress window itself: frames turn the spinner while it is shown and stop while it is
// hidden, message 2023 draws one frame on request, and other threads may show it. Linux needs an
// X display for these (the screenshot test runs them under Xvfb); without one the window is
// simply not made.
#include "view/update_view.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "platform/message_loop.h"
#include "view/view_frame.h"

using namespace progress_view;

namespace {

// Serves the calling thread's messages for `ms` milliseconds.
void Pump(int ms) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    platform::LoopMessage message;
    for (;;) {
        while (platform::PeekLoopMessage(message))
            platform::DispatchLoopMessage(message);
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - std::chrono::steady_clock::now())
                        .count();
        if (left <= 0)
            return;
        platform::WaitForLoopMessage(static_cast<uint32_t>(left));
    }
}

// How many 15-degree steps the spinner went from `before` to `after` (less than a full turn).
int StepsBetween(int before, int after) {
    return ((after - before) % 360 + 360) % 360 / 15;
}

class UpdateViewWindow : public ::testing::Test {
  protected:
    void SetUp() override {
        ShowUpdateView(platform::GetProcessModuleInstance(), kDownloadMode);
        view_ = GetUpdateView();
        ASSERT_NE(nullptr, view_);
        if (view_->GetWindow() == nullptr)
            GTEST_SKIP() << "no window: no display";
        window_ = view_->GetWindow();
    }

    UpdateViewImpl* view_ = nullptr;
    platform::LayeredWindow* window_ = nullptr;
};

TEST_F(UpdateViewWindow, FramesTurnTheSpinnerOnlyWhileShown) {
    EXPECT_TRUE(window_->IsVisible());
    EXPECT_EQ(kDownloadMode, view_->GetMode());
    int before = GetSpinnerAngle();
    Pump(300);
    int steps = StepsBetween(before, GetSpinnerAngle());
    EXPECT_GE(steps, 2);  // one frame per 50 ms at most, fewer on a busy machine
    EXPECT_LE(steps, 7);
    EXPECT_EQ(0, GetSpinnerAngle() % 15);

    HideUpdateView();
    Pump(20);
    EXPECT_FALSE(window_->IsVisible());
    int hidden = GetSpinnerAngle();
    Pump(200);
    EXPECT_EQ(hidden, GetSpinnerAngle());

    // The timer kept running: showing again is enough for the frames to come back.
    ShowUpdateView(platform::GetProcessModuleInstance(), kDownloadMode);
    Pump(200);
    EXPECT_NE(hidden, GetSpinnerAngle());
}

TEST_F(UpdateViewWindow, DrawRequestTurnsTheSpinnerOneStepEvenWhenHidden) {
    HideUpdateView();
    Pump(60);
    int before = GetSpinnerAngle();
    ASSERT_TRUE(platform::PostLoopMessage(window_->Target(), kDrawFrameMessage, 0, 0));
    Pump(60);
    EXPECT_EQ(NextSpinnerAngle(before), GetSpinnerAngle());
}

TEST_F(UpdateViewWindow, AnotherThreadShowsTheSameWindowInItsMode) {
    HideUpdateView();
    Pump(20);
    ASSERT_FALSE(window_->IsVisible());
    // Windows sends the window its calls from the other thread and waits for them: this thread
    // keeps serving its messages meanwhile, as the updater's main thread does.
    std::atomic<bool> done{false};
    std::thread other([&done] {
        ShowUpdateView(platform::GetProcessModuleInstance(), kInstallMode);
        done = true;
    });
    for (int i = 0; i < 500 && !done; ++i)
        Pump(10);
    other.join();
    Pump(100);
    EXPECT_EQ(view_, GetUpdateView());
    EXPECT_EQ(window_, view_->GetWindow());
    EXPECT_TRUE(window_->IsVisible());
    EXPECT_EQ(kInstallMode, view_->GetMode());
    int before = GetSpinnerAngle();
    Pump(200);
    EXPECT_NE(before, GetSpinnerAngle());
}

#ifndef _WIN32
TEST(LayeredWindowWithoutDisplay, IsNotMade) {
    const char* display = std::getenv("DISPLAY");
    std::string saved = display != nullptr ? display : "";
    unsetenv("DISPLAY");
    auto window = platform::LayeredWindow::Create(platform::GetProcessModuleInstance(), 330, 250,
                                                  &platform::DefaultMessageProc);
    EXPECT_EQ(nullptr, window);
    if (display != nullptr)
        setenv("DISPLAY", saved.c_str(), 1);
}
#endif

}  // namespace
