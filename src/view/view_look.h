// The progress window's look: its size, where each part of a frame goes, the text's font and
// colour, and the names of its system window. The platform layer draws what it is given here.
#pragma once

#include <cstdint>

#include "platform/frame_composer.h"
#include "platform/layered_window.h"

namespace progress_view {

// The frame's geometry in client pixels, origin top left.
namespace frame_layout {
inline constexpr int kWidth = 330;
inline constexpr int kHeight = 250;
inline constexpr int kBackgroundX = 68;
inline constexpr int kBackgroundY = 10;
inline constexpr int kBarY = 205;
inline constexpr int kTextX = 35;
inline constexpr int kTextY = 213;
// The spinner image's point (kSpinnerPivot, kSpinnerPivot) turns about (kPivotX, kPivotY).
inline constexpr int kPivotX = 164;
inline constexpr int kPivotY = 106;
inline constexpr int kSpinnerPivot = 96;
// The text's font: 13 points, bold, white with alpha 254.
inline constexpr wchar_t kFontFamily[] = L"微软雅黑";
inline constexpr float kFontPoints = 13.0f;
inline constexpr uint32_t kTextColour = 0xFEFFFFFFu;
}  // namespace frame_layout

// The layout as the frame composer takes it; the text bar is cut into its two caps and a middle
// stretched between them.
inline constexpr platform::FrameLayout kFrameLayout = {
    frame_layout::kBackgroundX,  frame_layout::kBackgroundY,
    frame_layout::kBarY,         {{0, 14, 20, 14}, {17, 12, 34, 260}, {37, 14, 294, 14}},
    frame_layout::kTextX,        frame_layout::kTextY,
    frame_layout::kPivotX,       frame_layout::kPivotY,
    frame_layout::kSpinnerPivot, frame_layout::kFontFamily,
    frame_layout::kFontPoints,   frame_layout::kTextColour,
};

// The system window's names. The program carries no menu resource of that name, so the window has
// no menu.
inline constexpr platform::WindowNames kWindowNames = {L"MainWndClass", L"Sample", L"MainMenu",
                                                       L"PallatonUpdater"};

}  // namespace progress_view
