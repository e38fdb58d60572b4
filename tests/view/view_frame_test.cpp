// The progress window's rules above the platform: the texts of both modes, the spinner's angle
// sequence, the placement in work areas of every shape, and the skin paths.
#include "view/view_frame.h"

#include <gtest/gtest.h>

#include <string>

#include "common/program_folder.h"
#include "platform/path.h"

using namespace progress_view;

namespace {

const std::wstring kDownloadText = L"          正在下载资源包 : ";

TEST(ViewText, DownloadTextPadsThePercentageToTwoPlaces) {
    EXPECT_EQ(kDownloadText + L" 7%", FormatViewText(kDownloadMode, 7));
    EXPECT_EQ(kDownloadText + L" 0%", FormatViewText(kDownloadMode, 0));
    EXPECT_EQ(kDownloadText + L"42%", FormatViewText(kDownloadMode, 42));
    EXPECT_EQ(kDownloadText + L"100%", FormatViewText(kDownloadMode, 100));
}

TEST(ViewText, InstallTextNeverShowsANumber) {
    const std::wstring install = L"            正在更新资源包";
    EXPECT_EQ(install, FormatViewText(kInstallMode, 0));
    EXPECT_EQ(install, FormatViewText(kInstallMode, 66));
    EXPECT_EQ(install, FormatViewText(kInstallMode, 100));
}

TEST(ViewText, RequestedFrameIsEmptyOnlyInInstallMode) {
    EXPECT_EQ(L"", FormatRequestedFrameText(kInstallMode, 50));
    EXPECT_EQ(FormatViewText(kDownloadMode, 50), FormatRequestedFrameText(kDownloadMode, 50));
}

TEST(SpinnerAngle, RunsFifteenToThreeSixtyThenStartsAgainAtFifteen) {
    int angle = 0;
    for (int expected = 15; expected <= 360; expected += 15) {
        angle = NextSpinnerAngle(angle);
        EXPECT_EQ(expected, angle);
    }
    EXPECT_EQ(15, NextSpinnerAngle(angle));
    // An angle at or beyond a full turn, however it got there, starts the turn again.
    EXPECT_EQ(15, NextSpinnerAngle(375));
    EXPECT_EQ(360, NextSpinnerAngle(345));
}

struct PlacementCase {
    platform::WorkArea area;
    int x;
    int y;
};

class ViewPlacement : public ::testing::TestWithParam<PlacementCase> {};

TEST_P(ViewPlacement, FollowsTheFormulas) {
    const PlacementCase& c = GetParam();
    Placement place = PlaceView(c.area);
    EXPECT_EQ(c.x, place.x);
    EXPECT_EQ(c.y, place.y);
}

INSTANTIATE_TEST_SUITE_P(
    WorkAreas, ViewPlacement,
    ::testing::Values(
        // A full-HD screen with the task bar below: centred.
        PlacementCase{{0, 0, 1920, 1040}, 795, 355},
        // Only 300 pixels high: y is the area's top.
        PlacementCase{{0, 0, 1920, 300}, 795, 0}, PlacementCase{{0, 100, 1920, 400}, 795, 100},
        // The formulas take half the extent, not the centre: an area that does not start at 0
        // is not centred, and the corner is pulled back into it.
        PlacementCase{{1920, 0, 3840, 1080}, 1920, 375},
        PlacementCase{{0, 600, 1920, 1680}, 795, 600},
        // A negative origin (a screen left of or above the primary one).
        PlacementCase{{-1920, -1080, 0, 0}, -330, -250},
        PlacementCase{{-500, -400, 100, 300}, -230, 50},
        // Narrower than the window: the left edge wins.
        PlacementCase{{0, 0, 200, 1040}, 0, 355},
        // Odd extents divide with truncation.
        PlacementCase{{0, 0, 1367, 769}, 518, 219},
        // The test at the bottom uses 330 but the move uses the height, 250: this corner moves
        // although the window would have fitted at y 95.
        PlacementCase{{0, -100, 1024, 420}, 347, 170}, PlacementCase{{0, 0, 1024, 660}, 347, 165}));

TEST(SkinPath, IsTheProgramFolderWithItsSeparatorDoubled) {
    const std::wstring sep(1, platform::kPathSeparator);
    std::wstring expected = GetProgramFolder() + sep + sep + L"skin" + sep + L"Update" + sep;
    EXPECT_EQ(expected + L"bg.png", SkinImagePath(L"bg.png"));
    EXPECT_EQ(expected + L"gb.png", SkinImagePath(L"gb.png"));
    EXPECT_EQ(expected + L"textbg.png", SkinImagePath(L"textbg.png"));
}

TEST(SkinPath, IsCutToTheBuffer) {
    std::wstring path = SkinImagePath(std::wstring(400, L'x').c_str());
    EXPECT_EQ(259u, path.size());
}

}  // namespace
