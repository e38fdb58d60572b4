// Texts, spinner steps, placement and skin paths of the progress window.
#include "view/view_frame.h"

#include "common/format.h"
#include "common/program_folder.h"
#include "platform/path.h"

namespace progress_view {

namespace {

constexpr int kWindowWidth = frame_layout::kWidth;
constexpr int kWindowHeight = frame_layout::kHeight;
// Both coordinates start half the window's width before the middle of the extent, and the test
// at the bottom edge uses the width too; only the move up to the bottom edge uses the height.
constexpr int kHalfWidth = kWindowWidth / 2;

constexpr size_t kTextChars = 260;

}  // namespace

int NextSpinnerAngle(int angle) {
    return angle >= 360 ? 15 : angle + 15;
}

std::wstring FormatViewText(int mode, int percent) {
    if (mode == kDownloadMode)
        return FormatCut(kTextChars, L"          %s : %2d%%", L"正在下载资源包", percent);
    return L"            正在更新资源包";
}

std::wstring FormatRequestedFrameText(int mode, int percent) {
    return mode == kDownloadMode ? FormatViewText(mode, percent) : std::wstring();
}

Placement PlaceView(const platform::WorkArea& area) {
    Placement place;
    place.x = (area.right - area.left) / 2 - kHalfWidth;
    if (place.x < area.left)
        place.x = area.left;
    else if (place.x + kWindowWidth > area.right)
        place.x = area.right - kWindowWidth;
    place.y = (area.bottom - area.top) / 2 - kHalfWidth;
    if (place.y < area.top)
        place.y = area.top;
    else if (place.y + kWindowWidth > area.bottom)
        place.y = area.bottom - kWindowHeight;
    return place;
}

std::wstring SkinImagePath(const wchar_t* name) {
    std::wstring folder = GetProgramFolder() + platform::kPathSeparator;
    const wchar_t separator = platform::kPathSeparator;
    return FormatCut(platform::kMaxPathChars, L"%s%cskin%cUpdate%c%s", folder.c_str(), separator,
                     separator, separator, name);
}

}  // namespace progress_view
