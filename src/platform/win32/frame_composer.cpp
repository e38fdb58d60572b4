// The Windows frame composer: GDI+ drawing on a memory context that holds a 32-bit DIB section,
// the bitmap that UpdateLayeredWindow takes with per-pixel alpha.
#include "platform/frame_composer.h"

#include <vector>

#include "platform/layered_window.h"
#include "platform/win32/graphics_internal.h"

namespace platform {

GraphicsToken StartGraphics() {
    Gdiplus::GdiplusStartupInput input;  // version 1, no debug callback, nothing suppressed
    ULONG_PTR token = 0;
    if (Gdiplus::GdiplusStartup(&token, &input, nullptr) != Gdiplus::Ok)
        return 0;
    return token;
}

void StopGraphics(GraphicsToken token) {
    if (token != 0)
        Gdiplus::GdiplusShutdown(token);
}

SkinImage::SkinImage(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

SkinImage::~SkinImage() = default;

std::unique_ptr<SkinImage> SkinImage::Load(const std::wstring& path) {
    auto impl = std::make_unique<Impl>();
    // Without embedded colour management: GdipLoadImageFromFile. GDI+ objects are allocated by
    // GDI+ itself, which gives null instead of throwing.
    impl->image.reset(new Gdiplus::Image(path.c_str(), FALSE));
    if (!impl->image)
        return nullptr;
    impl->loaded = impl->image->GetLastStatus() == Gdiplus::Ok;
    return std::unique_ptr<SkinImage>(new SkinImage(std::move(impl)));
}

bool SkinImage::IsLoaded() const {
    return impl_->loaded;
}

int SkinImage::Width() const {
    return impl_->loaded ? static_cast<int>(impl_->image->GetWidth()) : 0;
}

int SkinImage::Height() const {
    return impl_->loaded ? static_cast<int>(impl_->image->GetHeight()) : 0;
}

FrameBitmap::FrameBitmap(int width, int height, const LayeredWindow* window)
    : width_(width), height_(height), impl_(std::make_unique<Impl>()) {
    Impl& impl = *impl_;
    if (window != nullptr) {
        impl.window = window->Target();
        impl.windowDc = GetDC(impl.window);
    }
    impl.memoryDc = CreateCompatibleDC(impl.windowDc);
    BITMAPINFO info = {};
    info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = height;  // positive: bottom-up
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    info.bmiHeader.biSizeImage = width * height * 4;
    void* bits = nullptr;
    impl.bitmap = CreateDIBSection(impl.memoryDc, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    if (impl.bitmap != nullptr) {
        impl.bits = static_cast<uint32_t*>(bits);
        impl.previous = SelectObject(impl.memoryDc, impl.bitmap);
    }
}

FrameBitmap::~FrameBitmap() {
    Impl& impl = *impl_;
    if (impl.bitmap != nullptr) {
        SelectObject(impl.memoryDc, impl.previous);
        DeleteObject(impl.bitmap);
    }
    if (impl.memoryDc != nullptr)
        DeleteDC(impl.memoryDc);
    if (impl.windowDc != nullptr)
        ReleaseDC(impl.window, impl.windowDc);
}

bool FrameBitmap::IsValid() const {
    return impl_->bits != nullptr;
}

uint32_t FrameBitmap::Pixel(int x, int y) const {
    if (impl_->bits == nullptr || x < 0 || y < 0 || x >= width_ || y >= height_)
        return 0;
    GdiFlush();
    return impl_->bits[static_cast<size_t>(height_ - 1 - y) * width_ + x];
}

namespace {

bool FindPngEncoder(CLSID& encoder) {
    UINT count = 0;
    UINT bytes = 0;
    if (Gdiplus::GetImageEncodersSize(&count, &bytes) != Gdiplus::Ok || bytes == 0)
        return false;
    std::vector<unsigned char> buffer(bytes);
    auto* codecs = reinterpret_cast<Gdiplus::ImageCodecInfo*>(buffer.data());
    if (Gdiplus::GetImageEncoders(count, bytes, codecs) != Gdiplus::Ok)
        return false;
    for (UINT i = 0; i < count; ++i) {
        if (wcscmp(codecs[i].MimeType, L"image/png") == 0) {
            encoder = codecs[i].Clsid;
            return true;
        }
    }
    return false;
}

// The family of the text's font: the named one, else the generic sans-serif family, which is
// null when the system has no font for it.
std::unique_ptr<Gdiplus::Font> MakeTextFont(const FrameLayout& layout) {
    Gdiplus::FontFamily named(layout.fontFamily);
    const Gdiplus::FontFamily* family =
        named.IsAvailable() ? &named : Gdiplus::FontFamily::GenericSansSerif();
    std::unique_ptr<Gdiplus::Font> font;
    if (family != nullptr) {
        font = std::make_unique<Gdiplus::Font>(family, layout.fontPoints, Gdiplus::FontStyleBold,
                                               Gdiplus::UnitPoint);
        if (!font->IsAvailable())
            font.reset();
    }
    const Gdiplus::FontFamily* generic = Gdiplus::FontFamily::GenericSansSerif();
    if (!font && generic != nullptr && generic != family) {
        font = std::make_unique<Gdiplus::Font>(generic, layout.fontPoints, Gdiplus::FontStyleBold,
                                               Gdiplus::UnitPoint);
        if (!font->IsAvailable())
            font.reset();
    }
    return font;
}

}  // namespace

bool FrameBitmap::SavePng(const std::wstring& path) const {
    if (impl_->bits == nullptr)
        return false;
    CLSID encoder;
    if (!FindPngEncoder(encoder))
        return false;
    GdiFlush();
    // The DIB is bottom-up: start at its last row and step backwards.
    INT stride = width_ * 4;
    auto* top = reinterpret_cast<BYTE*>(impl_->bits) + static_cast<size_t>(height_ - 1) * stride;
    Gdiplus::Bitmap image(width_, height_, -stride, PixelFormat32bppPARGB, top);
    return image.Save(path.c_str(), &encoder, nullptr) == Gdiplus::Ok;
}

void ComposeFrame(const FrameLayout& layout, const FrameContent& content, FrameBitmap& bitmap) {
    if (!bitmap.IsValid())
        return;
    Gdiplus::Graphics graphics(bitmap.impl().memoryDc);
    graphics.SetSmoothingMode(Gdiplus::SmoothingModeDefault);
    // Grey anti-aliasing: ClearType's colour fringes assume an opaque background and show as
    // coloured edges on a bitmap with per-pixel alpha.
    graphics.SetTextRenderingHint(Gdiplus::TextRenderingHintAntiAlias);

    if (content.background != nullptr && content.background->IsLoaded()) {
        graphics.DrawImage(content.background->impl().image.get(), layout.backgroundX,
                           layout.backgroundY);
    }

    std::unique_ptr<Gdiplus::Font> font = MakeTextFont(layout);
    Gdiplus::SolidBrush brush(Gdiplus::Color(layout.textColour));
    Gdiplus::ImageAttributes attributes;
    attributes.SetWrapMode(Gdiplus::WrapModeTile);

    if (content.textBar != nullptr && content.textBar->IsLoaded()) {
        Gdiplus::Image* bar = content.textBar->impl().image.get();
        int height = content.textBar->Height();
        for (const FrameLayout::BarSlice& slice : layout.barSlices) {
            graphics.DrawImage(
                bar, Gdiplus::Rect(slice.destX, layout.barY, slice.destWidth, height),
                slice.sourceX, 0, slice.sourceWidth, height, Gdiplus::UnitPixel, &attributes);
        }
    }

    if (font && !content.text.empty()) {
        graphics.DrawString(content.text.c_str(), -1, font.get(),
                            Gdiplus::PointF(layout.textX, layout.textY), &brush);
    }

    if (content.spinner != nullptr && content.spinner->IsLoaded()) {
        graphics.TranslateTransform(layout.pivotX, layout.pivotY);
        graphics.RotateTransform(static_cast<Gdiplus::REAL>(content.angle));
        graphics.DrawImage(content.spinner->impl().image.get(), -layout.spinnerPivot,
                           -layout.spinnerPivot);
    }
}

}  // namespace platform
