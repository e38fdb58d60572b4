// The Linux frame composer: cairo image surfaces for the skin and the frame, pango for the text
// so that fontconfig picks a font with the Chinese characters when the requested family is
// missing.
#include "platform/frame_composer.h"

#include <pango/pangocairo.h>

#include <cmath>
#include <string>

#include "platform/code_page.h"
#include "platform/posix/graphics_internal.h"

#ifdef __SANITIZE_ADDRESS__
// fontconfig's configuration, loaded by pango's font map on first use, lives until the process
// ends and is never freed: not a leak of ours.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libfontconfig.so\n";
}

extern "C" const char* __lsan_default_options() {
    return "print_suppressions=0";
}
#endif

#ifdef __SANITIZE_THREAD__
// pango loads fontconfig's configuration on a thread of its own and hands it over through glib,
// which is not built for ThreadSanitizer: the hand-over looks like races inside those libraries.
// cairo takes two mutexes of its own in both orders when message boxes on several threads open
// and close their X connections; neither is ours and no lock of ours is held across them.
extern "C" const char* __tsan_default_suppressions() {
    return "race:libfontconfig.so\nrace:libglib-2.0.so\ndeadlock:libcairo.so\n";
}
#endif

namespace platform {

GraphicsToken StartGraphics() {
    return 1;
}

void StopGraphics(GraphicsToken) {}

SkinImage::SkinImage(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

SkinImage::~SkinImage() {
    if (impl_->surface != nullptr)
        cairo_surface_destroy(impl_->surface);
}

std::unique_ptr<SkinImage> SkinImage::Load(const std::wstring& path) {
    auto impl = std::make_unique<Impl>();
    cairo_surface_t* surface = cairo_image_surface_create_from_png(WideToAnsi(path).c_str());
    if (cairo_surface_status(surface) == CAIRO_STATUS_SUCCESS)
        impl->surface = surface;
    else
        cairo_surface_destroy(surface);
    return std::unique_ptr<SkinImage>(new SkinImage(std::move(impl)));
}

bool SkinImage::IsLoaded() const {
    return impl_->surface != nullptr;
}

int SkinImage::Width() const {
    return impl_->surface != nullptr ? cairo_image_surface_get_width(impl_->surface) : 0;
}

int SkinImage::Height() const {
    return impl_->surface != nullptr ? cairo_image_surface_get_height(impl_->surface) : 0;
}

FrameBitmap::FrameBitmap(int width, int height, const LayeredWindow*)
    : width_(width), height_(height), impl_(std::make_unique<Impl>()) {
    cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, width, height);
    if (cairo_surface_status(surface) == CAIRO_STATUS_SUCCESS)
        impl_->surface = surface;
    else
        cairo_surface_destroy(surface);
}

FrameBitmap::~FrameBitmap() {
    if (impl_->surface != nullptr)
        cairo_surface_destroy(impl_->surface);
}

bool FrameBitmap::IsValid() const {
    return impl_->surface != nullptr;
}

uint32_t FrameBitmap::Pixel(int x, int y) const {
    if (impl_->surface == nullptr || x < 0 || y < 0 || x >= width_ || y >= height_)
        return 0;
    cairo_surface_flush(impl_->surface);
    const unsigned char* row =
        cairo_image_surface_get_data(impl_->surface) +
        static_cast<ptrdiff_t>(y) * cairo_image_surface_get_stride(impl_->surface);
    return reinterpret_cast<const uint32_t*>(row)[x];
}

bool FrameBitmap::SavePng(const std::wstring& path) const {
    return impl_->surface != nullptr &&
           cairo_surface_write_to_png(impl_->surface, WideToAnsi(path).c_str()) ==
               CAIRO_STATUS_SUCCESS;
}

namespace {

// Draws source columns [sourceX, sourceX + sourceWidth) of the image, stretched across the
// destination columns. The columns are cut out first and repeat beyond their edges, so the
// stretched middle never samples the neighbouring columns of the image (GDI+'s tile wrap mode).
void DrawSlice(cairo_t* cr, cairo_surface_t* image, const FrameLayout::BarSlice& slice, int y) {
    int height = cairo_image_surface_get_height(image);
    cairo_surface_t* cut =
        cairo_image_surface_create(CAIRO_FORMAT_ARGB32, slice.sourceWidth, height);
    cairo_t* cutter = cairo_create(cut);
    cairo_set_operator(cutter, CAIRO_OPERATOR_SOURCE);
    cairo_set_source_surface(cutter, image, -slice.sourceX, 0);
    cairo_paint(cutter);
    cairo_destroy(cutter);

    cairo_pattern_t* pattern = cairo_pattern_create_for_surface(cut);
    cairo_pattern_set_extend(pattern, CAIRO_EXTEND_REPEAT);
    cairo_pattern_set_filter(pattern, CAIRO_FILTER_BILINEAR);
    double scale = static_cast<double>(slice.sourceWidth) / slice.destWidth;
    cairo_matrix_t matrix;
    cairo_matrix_init(&matrix, scale, 0, 0, 1, -slice.destX * scale, -y);
    cairo_pattern_set_matrix(pattern, &matrix);
    cairo_set_source(cr, pattern);
    cairo_rectangle(cr, slice.destX, y, slice.destWidth, height);
    cairo_fill(cr);
    cairo_pattern_destroy(pattern);
    cairo_surface_destroy(cut);
}

void DrawText(cairo_t* cr, const FrameLayout& layout, const std::wstring& text) {
    if (text.empty())
        return;
    std::lock_guard<std::mutex> lock(TextDrawingMutex());
    PangoLayout* textLayout = pango_cairo_create_layout(cr);
    PangoContext* context = pango_layout_get_context(textLayout);
    // Points to pixels as on a 96 dpi Windows screen, grey anti-aliasing (colour fringes would
    // show on a transparent bitmap) and unhinted metrics, so that the text looks the same on
    // every display.
    pango_cairo_context_set_resolution(context, 96.0);
    cairo_font_options_t* options = cairo_font_options_create();
    cairo_font_options_set_antialias(options, CAIRO_ANTIALIAS_GRAY);
    cairo_font_options_set_hint_metrics(options, CAIRO_HINT_METRICS_OFF);
    pango_cairo_context_set_font_options(context, options);
    cairo_font_options_destroy(options);
    pango_layout_context_changed(textLayout);

    // The requested family first; fontconfig's sans-serif choice for what it cannot show.
    std::string families = WideToAnsi(layout.fontFamily) + ",sans-serif";
    PangoFontDescription* font = pango_font_description_new();
    pango_font_description_set_family(font, families.c_str());
    pango_font_description_set_weight(font, PANGO_WEIGHT_BOLD);
    pango_font_description_set_size(font, static_cast<int>(layout.fontPoints * PANGO_SCALE));
    pango_layout_set_font_description(textLayout, font);
    pango_font_description_free(font);

    std::string utf8 = WideToAnsi(text);
    pango_layout_set_text(textLayout, utf8.c_str(), static_cast<int>(utf8.size()));
    uint32_t colour = layout.textColour;
    cairo_set_source_rgba(cr, ((colour >> 16) & 0xFF) / 255.0, ((colour >> 8) & 0xFF) / 255.0,
                          (colour & 0xFF) / 255.0, (colour >> 24) / 255.0);
    cairo_move_to(cr, layout.textX, layout.textY);
    pango_cairo_show_layout(cr, textLayout);
    g_object_unref(textLayout);
}

}  // namespace

void ComposeFrame(const FrameLayout& layout, const FrameContent& content, FrameBitmap& bitmap) {
    if (!bitmap.IsValid())
        return;
    cairo_t* cr = cairo_create(bitmap.impl().surface);

    if (content.background != nullptr && content.background->IsLoaded()) {
        cairo_surface_t* image = content.background->impl().surface;
        cairo_set_source_surface(cr, image, layout.backgroundX, layout.backgroundY);
        cairo_rectangle(cr, layout.backgroundX, layout.backgroundY, content.background->Width(),
                        content.background->Height());
        cairo_fill(cr);
    }

    if (content.textBar != nullptr && content.textBar->IsLoaded()) {
        for (const FrameLayout::BarSlice& slice : layout.barSlices)
            DrawSlice(cr, content.textBar->impl().surface, slice, layout.barY);
    }

    DrawText(cr, layout, content.text);

    if (content.spinner != nullptr && content.spinner->IsLoaded()) {
        cairo_save(cr);
        cairo_translate(cr, layout.pivotX, layout.pivotY);
        cairo_rotate(cr, content.angle * M_PI / 180.0);
        cairo_set_source_surface(cr, content.spinner->impl().surface, -layout.spinnerPivot,
                                 -layout.spinnerPivot);
        cairo_pattern_set_filter(cairo_get_source(cr), CAIRO_FILTER_BILINEAR);
        cairo_rectangle(cr, -layout.spinnerPivot, -layout.spinnerPivot, content.spinner->Width(),
                        content.spinner->Height());
        cairo_fill(cr);
        cairo_restore(cr);
    }

    cairo_destroy(cr);
    cairo_surface_flush(bitmap.impl().surface);
}

}  // namespace platform
