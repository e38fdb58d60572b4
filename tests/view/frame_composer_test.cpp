// The frame composer against its rendered pixels, with skins whose every pixel is known: where the
// background, the three text-bar slices and the turned spinner land, the texts of both modes,
// and frames whose skin images are missing.
#include "platform/frame_composer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "skin_png.h"
#include "support/fixture_files.h"
#include "view/view_frame.h"

namespace layout = progress_view::frame_layout;
using platform::FrameBitmap;
using platform::FrameContent;
using platform::SkinImage;

namespace {

constexpr uint32_t kRed = 0xFFFF0000u;
constexpr uint32_t kGreen = 0xFF00FF00u;
constexpr uint32_t kBlue = 0xFF0000FFu;
constexpr uint32_t kWhite = 0xFFFFFFFFu;

uint32_t Alpha(uint32_t pixel) {
    return pixel >> 24;
}

// Whether the pixel is the opaque colour, give or take the blending of edges.
bool IsNear(uint32_t pixel, uint32_t colour, int tolerance = 8) {
    for (int shift = 0; shift < 32; shift += 8) {
        int a = (pixel >> shift) & 0xFF;
        int b = (colour >> shift) & 0xFF;
        if (std::abs(a - b) > tolerance)
            return false;
    }
    return true;
}

// The columns and rows that hold any pixel that is not fully transparent.
struct Ink {
    int left = -1;
    int right = -1;
    int top = -1;
    int bottom = -1;
    bool Any() const { return left >= 0; }
};

Ink InkOf(const FrameBitmap& bitmap, int x0 = 0, int y0 = 0, int x1 = layout::kWidth,
          int y1 = layout::kHeight) {
    Ink ink;
    for (int y = y0; y < y1; ++y) {
        for (int x = x0; x < x1; ++x) {
            if (Alpha(bitmap.Pixel(x, y)) == 0)
                continue;
            if (!ink.Any() || x < ink.left)
                ink.left = x;
            if (x > ink.right)
                ink.right = x;
            if (ink.top < 0)
                ink.top = y;
            ink.bottom = y;
        }
    }
    return ink;
}

bool SamePixels(const FrameBitmap& a, const FrameBitmap& b) {
    for (int y = 0; y < layout::kHeight; ++y) {
        for (int x = 0; x < layout::kWidth; ++x) {
            if (a.Pixel(x, y) != b.Pixel(x, y))
                return false;
        }
    }
    return true;
}

class FrameComposerTest : public ::testing::Test {
  protected:
    void SetUp() override { token_ = platform::StartGraphics(); }
    void TearDown() override {
        images_.clear();
        platform::StopGraphics(token_);
    }

    // Writes the pixels as a PNG file of the scratch folder and loads it as a skin image.
    const SkinImage* Skin(const std::wstring& name, const skin_png::Pixels& pixels) {
        skin_png::Write(folder_.path() / name, pixels);
        return Load(name);
    }
    const SkinImage* Load(const std::wstring& name) {
        images_.push_back(SkinImage::Load(folder_.Wide(name)));
        return images_.back().get();
    }

    // A 51 x 8 text bar: the left cap red, the middle green, the right cap blue, and the columns
    // that no slice uses transparent.
    const SkinImage* SlicedBar() {
        skin_png::Pixels bar(51, 8);
        bar.Fill(0, 0, 14, 8, kRed);
        bar.Fill(17, 0, 29, 8, kGreen);
        bar.Fill(37, 0, 51, 8, kBlue);
        return Skin(L"textbg.png", bar);
    }

    // A 192 x 192 spinner, transparent but for a white 9 x 9 mark 60 pixels right of the pivot.
    const SkinImage* MarkedSpinner() {
        skin_png::Pixels spinner(192, 192);
        spinner.Fill(96 + 60 - 4, 96 - 4, 96 + 60 + 5, 96 + 5, kWhite);
        return Skin(L"gb.png", spinner);
    }

    std::unique_ptr<FrameBitmap> Compose(const FrameContent& content) {
        auto bitmap = std::make_unique<FrameBitmap>(layout::kWidth, layout::kHeight);
        EXPECT_TRUE(bitmap->IsValid());
        platform::ComposeFrame(progress_view::kFrameLayout, content, *bitmap);
        return bitmap;
    }

    std::unique_ptr<FrameBitmap> ComposeText(const std::wstring& text) {
        FrameContent content;
        content.text = text;
        return Compose(content);
    }

    fixtures::ScratchFolder folder_;
    platform::GraphicsToken token_ = 0;
    std::vector<std::unique_ptr<SkinImage>> images_;
};

TEST_F(FrameComposerTest, NewBitmapIsTransparentAndRoundTripsThroughPng) {
    FrameBitmap bitmap(layout::kWidth, layout::kHeight);
    EXPECT_FALSE(InkOf(bitmap).Any());

    FrameContent content;
    content.background = Skin(L"bg.png", skin_png::Pixels(20, 10, kRed));
    platform::ComposeFrame(progress_view::kFrameLayout, content, bitmap);
    ASSERT_TRUE(bitmap.SavePng(folder_.Wide(L"frame.png")));
    const SkinImage* saved = Load(L"frame.png");
    EXPECT_TRUE(saved->IsLoaded());
    EXPECT_EQ(layout::kWidth, saved->Width());
    EXPECT_EQ(layout::kHeight, saved->Height());
}

TEST_F(FrameComposerTest, BackgroundLandsAtItsCornerAtNaturalSize) {
    FrameContent content;
    content.background = Skin(L"bg.png", skin_png::Pixels(20, 10, kRed));
    auto frame = Compose(content);
    EXPECT_TRUE(IsNear(frame->Pixel(68, 10), kRed));
    EXPECT_TRUE(IsNear(frame->Pixel(87, 19), kRed));
    Ink ink = InkOf(*frame);
    EXPECT_EQ(68, ink.left);
    EXPECT_EQ(87, ink.right);
    EXPECT_EQ(10, ink.top);
    EXPECT_EQ(19, ink.bottom);
}

TEST_F(FrameComposerTest, TextBarSlicesGoWhereTheyBelong) {
    FrameContent content;
    content.textBar = SlicedBar();
    auto frame = Compose(content);
    for (int y = layout::kBarY; y < layout::kBarY + 8; ++y) {
        for (int x = 20; x < 34; ++x)
            EXPECT_TRUE(IsNear(frame->Pixel(x, y), kRed)) << x << "," << y;
        // The middle is green throughout. Its last stretched source column may blend with the
        // transparent one beside it (Wine's GDI+ does not keep the tile wrap mode within the
        // source rectangle), so only there it may be less than opaque.
        for (int x = 34; x < 294; ++x) {
            uint32_t pixel = frame->Pixel(x, y);
            EXPECT_EQ(0u, pixel & 0x00FF00FFu) << x << "," << y;
            if (x < 294 - 22)
                EXPECT_TRUE(IsNear(pixel, kGreen)) << x << "," << y;
            else
                EXPECT_GT(Alpha(pixel), 0u) << x << "," << y;
        }
        for (int x = 294; x < 308; ++x)
            EXPECT_TRUE(IsNear(frame->Pixel(x, y), kBlue)) << x << "," << y;
    }
    // As high as the image, from x 20 to 308, and nothing of the unused columns.
    Ink ink = InkOf(*frame);
    EXPECT_EQ(20, ink.left);
    EXPECT_EQ(307, ink.right);
    EXPECT_EQ(layout::kBarY, ink.top);
    EXPECT_EQ(layout::kBarY + 7, ink.bottom);
}

TEST_F(FrameComposerTest, SpinnerTurnsClockwiseAboutItsPivotThroughTheAngleSequence) {
    const SkinImage* spinner = MarkedSpinner();
    int angle = 0;
    std::vector<int> seen;
    for (int frame = 0; frame < 25; ++frame) {
        angle = progress_view::NextSpinnerAngle(angle);
        seen.push_back(angle);
        FrameContent content;
        content.spinner = spinner;
        content.angle = angle;
        auto bitmap = Compose(content);
        double radians = angle * 3.14159265358979 / 180.0;
        int markX = static_cast<int>(std::lround(layout::kPivotX + 60 * std::cos(radians)));
        int markY = static_cast<int>(std::lround(layout::kPivotY + 60 * std::sin(radians)));
        EXPECT_TRUE(IsNear(bitmap->Pixel(markX, markY), kWhite, 24)) << "angle " << angle;
        // Only the mark is drawn: the ink's centre of weight is the turned centre.
        double x = 0;
        double y = 0;
        double weight = 0;
        for (int py = 0; py < layout::kHeight; ++py) {
            for (int px = 0; px < layout::kWidth; ++px) {
                double a = Alpha(bitmap->Pixel(px, py));
                x += a * px;
                y += a * py;
                weight += a;
            }
        }
        ASSERT_GT(weight, 0);
        // The mark's middle lies 60 pixels from the pivot. GDI+ puts pixel centres on whole
        // coordinates and cairo on half ones, which moves the turned mark by up to a pixel.
        EXPECT_NEAR(layout::kPivotX + 60 * std::cos(radians), x / weight, 1.25) << angle;
        EXPECT_NEAR(layout::kPivotY + 60 * std::sin(radians), y / weight, 1.25) << angle;
    }
    std::vector<int> expected;
    for (int a = 15; a <= 360; a += 15)
        expected.push_back(a);
    expected.push_back(15);
    EXPECT_EQ(expected, seen);
}

TEST_F(FrameComposerTest, MissingImagesDrawNothingOfThemselves) {
    const SkinImage* missing = Load(L"no-such-image.png");
    ASSERT_NE(nullptr, missing);
    EXPECT_FALSE(missing->IsLoaded());
    EXPECT_EQ(0, missing->Width());
    EXPECT_EQ(0, missing->Height());

    // A skin whose bar is missing: background and spinner are drawn, the bar's rows stay empty.
    FrameContent content;
    content.background = Skin(L"bg.png", skin_png::Pixels(20, 10, kRed));
    content.spinner = MarkedSpinner();
    content.textBar = missing;
    content.angle = 360;
    auto frame = Compose(content);
    EXPECT_TRUE(IsNear(frame->Pixel(70, 12), kRed));
    EXPECT_TRUE(IsNear(frame->Pixel(layout::kPivotX + 60, layout::kPivotY), kWhite, 24));
    EXPECT_FALSE(InkOf(*frame, 0, layout::kBarY, layout::kWidth, layout::kHeight).Any());

    // A missing skin folder: only the text is drawn, on a transparent background.
    content.background = missing;
    content.spinner = missing;
    content.text = progress_view::FormatViewText(progress_view::kDownloadMode, 42);
    frame = Compose(content);
    Ink ink = InkOf(*frame);
    ASSERT_TRUE(ink.Any());
    EXPECT_GE(ink.left, layout::kTextX);
    EXPECT_GE(ink.top, layout::kTextY);
}

TEST_F(FrameComposerTest, DownloadTextIsPaddedAndWhiteWithAlpha254) {
    using progress_view::FormatViewText;
    using progress_view::kDownloadMode;
    auto seven = ComposeText(FormatViewText(kDownloadMode, 7));
    Ink ink = InkOf(*seven);
    ASSERT_TRUE(ink.Any());
    // Ten blanks come first: the characters start well right of the text's corner.
    EXPECT_GT(ink.left, layout::kTextX + 30);
    EXPECT_GE(ink.top, layout::kTextY);
    // Fully covered text pixels are the colour FEFFFFFF, premultiplied.
    uint32_t brightest = 0;
    for (int y = ink.top; y <= ink.bottom; ++y) {
        for (int x = ink.left; x <= ink.right; ++x)
            brightest = std::max(brightest, seven->Pixel(x, y));
    }
    EXPECT_EQ(0xFEFEFEFEu, brightest);

    // A blank stands before a single digit: the line ends further right than it would without.
    auto unpadded = ComposeText(L"          正在下载资源包 : 7%");
    EXPECT_EQ(ink.left, InkOf(*unpadded).left);
    EXPECT_GE(ink.right - InkOf(*unpadded).right, 3);
    // Three digits for 100.
    auto full = ComposeText(FormatViewText(kDownloadMode, 100));
    auto ninetyNine = ComposeText(FormatViewText(kDownloadMode, 99));
    EXPECT_GT(InkOf(*full).right, InkOf(*ninetyNine).right + 4);
}

TEST_F(FrameComposerTest, InstallTextHasNoNumberAndRequestedInstallFrameNoText) {
    using progress_view::kInstallMode;
    auto none = ComposeText(progress_view::FormatViewText(kInstallMode, 0));
    auto many = ComposeText(progress_view::FormatViewText(kInstallMode, 77));
    EXPECT_TRUE(InkOf(*none).Any());
    EXPECT_TRUE(SamePixels(*none, *many));
    auto requested = ComposeText(progress_view::FormatRequestedFrameText(kInstallMode, 77));
    EXPECT_FALSE(InkOf(*requested).Any());
}

// Whether the ink looks like the box drawn for a character the font lacks: its leftmost
// columns are inked over nearly the whole height.
bool LooksLikeMissingGlyphBox(const FrameBitmap& bitmap) {
    Ink ink = InkOf(bitmap);
    int inked = 0;
    for (int y = ink.top; y <= ink.bottom; ++y) {
        if (Alpha(bitmap.Pixel(ink.left, y)) > 64 || Alpha(bitmap.Pixel(ink.left + 1, y)) > 64)
            ++inked;
    }
    return inked * 10 >= (ink.bottom - ink.top + 1) * 8;
}

TEST_F(FrameComposerTest, ChineseCharactersRenderAsGlyphs) {
    // Without a font for them, the characters would come out as boxes, or not at all.
    auto first = ComposeText(L"正");
    auto second = ComposeText(L"在");
    ASSERT_TRUE(InkOf(*first).Any());
    ASSERT_TRUE(InkOf(*second).Any());
    EXPECT_FALSE(SamePixels(*first, *second));
    EXPECT_FALSE(LooksLikeMissingGlyphBox(*first));
    EXPECT_FALSE(LooksLikeMissingGlyphBox(*second));
    EXPECT_TRUE(LooksLikeMissingGlyphBox(*ComposeText(L"\uE000")));  // private use: no glyph
}

}  // namespace
