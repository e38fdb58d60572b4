// Renders one frame of a layered window into a 32-bit bitmap with per-pixel alpha, without a
// window: a background image, a bar image cut into three slices, one line of text and a spinner
// image turned about its pivot, each where the owner's FrameLayout puts it. Windows draws with
// GDI+ into a DIB section, Linux with cairo and pango.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace platform {

class LayeredWindow;

// Where a frame's parts go, in client pixels from the top left, and how its text looks; given by
// the owner of the window.
struct FrameLayout {
    int backgroundX;
    int backgroundY;
    int barY;
    // The text bar's slices: source columns [sourceX, sourceX + sourceWidth) are drawn to
    // [destX, destX + destWidth), as high as the image.
    struct BarSlice {
        int sourceX;
        int sourceWidth;
        int destX;
        int destWidth;
    };
    BarSlice barSlices[3];
    int textX;
    int textY;
    // The spinner image's point (spinnerPivot, spinnerPivot) turns about (pivotX, pivotY).
    int pivotX;
    int pivotY;
    int spinnerPivot;
    // The text's font (bold; the system's sans-serif family where this one is missing) and its
    // colour as 0xAARRGGBB.
    const wchar_t* fontFamily;
    float fontPoints;
    uint32_t textColour;
};

// The graphics library's process state (GDI+ on Windows; nothing to do on Linux).
using GraphicsToken = uintptr_t;
GraphicsToken StartGraphics();
void StopGraphics(GraphicsToken token);

// An image of the skin, read from a PNG file. An image that cannot be read still exists: it
// measures 0 x 0 and drawing it draws nothing.
class SkinImage {
  public:
    // Null only when the image object itself cannot be made.
    static std::unique_ptr<SkinImage> Load(const std::wstring& path);
    ~SkinImage();

    bool IsLoaded() const;
    int Width() const;
    int Height() const;

    struct Impl;
    Impl& impl() const { return *impl_; }

  private:
    explicit SkinImage(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

// A bitmap of 32-bit premultiplied ARGB pixels that starts fully transparent. Made for a window,
// it is compatible with the window's device context and is what the window presents.
class FrameBitmap {
  public:
    FrameBitmap(int width, int height, const LayeredWindow* window = nullptr);
    ~FrameBitmap();
    FrameBitmap(const FrameBitmap&) = delete;
    FrameBitmap& operator=(const FrameBitmap&) = delete;

    bool IsValid() const;
    int Width() const { return width_; }
    int Height() const { return height_; }

    // The pixel at (x, y) from the top left as 0xAARRGGBB, premultiplied; 0 outside.
    uint32_t Pixel(int x, int y) const;

    // Writes the bitmap as a PNG file with straight (not premultiplied) alpha.
    bool SavePng(const std::wstring& path) const;

    struct Impl;
    Impl& impl() const { return *impl_; }

  private:
    int width_;
    int height_;
    std::unique_ptr<Impl> impl_;
};

// What one frame shows. Null images are not drawn.
struct FrameContent {
    const SkinImage* background = nullptr;
    const SkinImage* textBar = nullptr;
    const SkinImage* spinner = nullptr;
    std::wstring text;
    int angle = 0;  // the spinner's rotation in degrees, clockwise on screen
};

// Draws a frame into a new bitmap: background, text bar, text, spinner, in that order.
void ComposeFrame(const FrameLayout& layout, const FrameContent& content, FrameBitmap& bitmap);

}  // namespace platform
