// Progress fed to the window: the percentages shown for steps and fractions, and the gate that
// keeps each reporting thread to one update per frame period without ever making it wait.
#include "view/view_progress.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <limits>
#include <thread>

#include "platform/message_loop.h"
#include "view/update_view.h"
#include "view/view_frame.h"

using namespace progress_view;

namespace {

TEST(PercentConversion, StepsTruncate) {
    EXPECT_EQ(0, PercentFromProgress(0, 3));
    EXPECT_EQ(33, PercentFromProgress(1, 3));
    EXPECT_EQ(66, PercentFromProgress(2, 3));
    EXPECT_EQ(100, PercentFromProgress(3, 3));
    // No overflow on the way: current * 100 does not fit 32 bits here.
    EXPECT_EQ(50, PercentFromProgress(std::numeric_limits<int>::max() / 2,
                                      std::numeric_limits<int>::max() - 1));
    EXPECT_EQ(0, PercentFromProgress(5, 0));
}

TEST(PercentConversion, FractionsTruncateTowardZero) {
    EXPECT_EQ(99, PercentFromFraction(0.999));
    EXPECT_EQ(100, PercentFromFraction(1.0));
    EXPECT_EQ(7, PercentFromFraction(0.075));
    EXPECT_EQ(0, PercentFromFraction(0.0));
    EXPECT_EQ(-5, PercentFromFraction(-0.059));
    EXPECT_EQ(0, PercentFromFraction(std::nan("")));
    EXPECT_EQ(0, PercentFromFraction(1e300));
}

TEST(PercentGate, LetsOneValueThroughPerPeriod) {
    PercentGate gate;
    EXPECT_TRUE(gate.Admit(1000, 10));
    EXPECT_FALSE(gate.Admit(1000, 11));
    EXPECT_FALSE(gate.Admit(1049, 12));
    EXPECT_TRUE(gate.Admit(1050, 13));
    // The period runs from the last value let through, not on a fixed grid.
    EXPECT_FALSE(gate.Admit(1099, 14));
    EXPECT_TRUE(gate.Admit(1100, 15));
}

TEST(PercentGate, AlwaysLetsTheFinishedValueThrough) {
    PercentGate gate;
    EXPECT_TRUE(gate.Admit(5000, 98));
    EXPECT_TRUE(gate.Admit(5001, 100));
    EXPECT_FALSE(gate.Admit(5002, 99));
}

TEST(PercentGate, SurvivesTheTickCounterWrappingAround) {
    PercentGate gate;
    EXPECT_TRUE(gate.Admit(0xFFFFFFF0u, 1));
    EXPECT_FALSE(gate.Admit(0x00000010u, 2));  // 32 ms later
    EXPECT_TRUE(gate.Admit(0x00000022u, 3));   // 50 ms later
}

// The process-wide view, hidden, as the message thread leaves it before a download.
UpdateViewImpl* HiddenView() {
    ShowUpdateView(platform::GetProcessModuleInstance(), kDownloadMode);
    HideUpdateView();
    return GetUpdateView();
}

TEST(SetPercent, NeverPutsTheCallerToSleep) {
    UpdateViewImpl* view = HiddenView();
    // A fresh thread has a fresh gate.
    std::thread([view] {
        auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < 1000; ++i)
            view->SetPercent(i / 1000.0);
        auto elapsed = std::chrono::steady_clock::now() - start;
        // A caller that waited 50 ms per call would need 50 seconds.
        EXPECT_LT(elapsed, std::chrono::seconds(1));
    }).join();
}

TEST(SetPercent, KeepsEachCallerToOneUpdatePerFramePeriod) {
    UpdateViewImpl* view = HiddenView();
    std::thread([view] {
        view->SetPercent(0.10);
        EXPECT_EQ(10, GetViewPercent());
        view->SetPercent(0.20);  // within the same period: dropped
        EXPECT_EQ(10, GetViewPercent());

        // Another caller has its own period.
        std::thread([view] { view->SetPercent(0.30); }).join();
        EXPECT_EQ(30, GetViewPercent());

        // A finished download shows at once.
        view->SetPercent(1.0);
        EXPECT_EQ(100, GetViewPercent());

        std::this_thread::sleep_for(std::chrono::milliseconds(60));
        view->SetPercent(0.40);
        EXPECT_EQ(40, GetViewPercent());
    }).join();
}

TEST(SetProgress, ShowsTheShareOfFinishedSteps) {
    UpdateViewImpl* view = HiddenView();
    view->SetProgress(1, 3);
    EXPECT_EQ(33, GetViewPercent());
    view->SetProgress(2, 3);
    EXPECT_EQ(66, GetViewPercent());
    // Steps are not gated: every installer that ends shows.
    view->SetProgress(3, 3);
    EXPECT_EQ(100, GetViewPercent());
}

}  // namespace
