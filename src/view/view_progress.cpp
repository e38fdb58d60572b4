// Percentages from progress reports, and the per-caller gate on how often they are shown.
#include "view/view_progress.h"

#include <cstdint>

#include "view/view_frame.h"

namespace progress_view {

int PercentFromProgress(int current, int total) {
    if (total <= 0)
        return 0;
    return static_cast<int>(static_cast<int64_t>(current) * 100 / total);
}

int PercentFromFraction(double fraction) {
    double percent = fraction * 100;
    // A value no int can hold (or NaN) must not reach the conversion, which would be undefined.
    if (!(percent > INT32_MIN - 1.0 && percent < INT32_MAX + 1.0))
        return 0;
    return static_cast<int>(percent);
}

bool PercentGate::Admit(uint32_t nowTick, int percent) {
    // The unsigned difference stays right across the tick counter's wrap-around.
    if (admitted_ && nowTick - lastTick_ < kFramePeriodMs && percent < 100)
        return false;
    admitted_ = true;
    lastTick_ = nowTick;
    return true;
}

}  // namespace progress_view
