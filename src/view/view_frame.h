// The progress window's rules that do not depend on the system: the texts of its two modes, the
// spinner's turning, where the window goes in the work area and where its skin images lie.
#pragma once

#include <cstdint>
#include <string>

#include "platform/layered_window.h"
#include "view/view_look.h"

namespace progress_view {

// What the text line shows.
inline constexpr int kDownloadMode = 0;  // the download text and the percentage
inline constexpr int kInstallMode = 1;   // the install text, without a number

// The window message that draws one frame at once.
inline constexpr uint32_t kDrawFrameMessage = 2023;

// The frame timer: id 1, re-armed by every frame for the next one 50 ms later.
inline constexpr uintptr_t kFrameTimerId = 1;
inline constexpr uint32_t kFramePeriodMs = 50;

// The spinner's angle after `angle`: 15 degrees further, back to 15 after a full turn, so that
// the frames run 15, 30, ..., 360, 15, ...
int NextSpinnerAngle(int angle);

// The text line of a timer frame in `mode`: the download text padded with blanks, followed by the
// percentage in at least two places, or the install text.
std::wstring FormatViewText(int mode, int percent);

// The text line of a frame drawn on request (message 2023): the same, but empty in install mode.
std::wstring FormatRequestedFrameText(int mode, int percent);

struct Placement {
    int x = 0;
    int y = 0;
};

// Where the window's top-left corner goes in the work area. It starts from half the area's
// extent (not its centre), so it centres the window only in an area that starts at 0, and is
// then kept inside the area.
Placement PlaceView(const platform::WorkArea& area);

// The path of a skin image: the program folder with its trailing separator, then
// skin/Update/<name> (the doubled separator is kept), cut to 259 characters.
std::wstring SkinImagePath(const wchar_t* name);

}  // namespace progress_view
