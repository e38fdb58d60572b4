// The progress values fed to the window from other threads: conversions to the shown percentage
// and the gate that keeps each caller to one update per frame period without ever blocking it.
#pragma once

#include <cstdint>

namespace progress_view {

// current * 100 / total in integer arithmetic, truncated; 0 when total is not positive.
int PercentFromProgress(int current, int total);

// fraction * 100 truncated toward zero.
int PercentFromFraction(double fraction);

// Lets one caller's percentage through at most once per kFramePeriodMs, measured from the last
// value let through; 100 always passes, so a finished download never stays short of it. Callers
// are download threads that report after every burst of data: they drop values in between
// instead of waiting, and the window, which redraws every 50 ms, loses nothing it would show.
class PercentGate {
  public:
    bool Admit(uint32_t nowTick, int percent);

  private:
    bool admitted_ = false;
    uint32_t lastTick_ = 0;
};

}  // namespace progress_view
