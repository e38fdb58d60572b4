// The cairo objects behind the Linux skin images and frame bitmaps, shared by the frame composer
// and the window that presents its frames.
#pragma once

#include <cairo.h>

#include "platform/frame_composer.h"

namespace platform {

struct SkinImage::Impl {
    cairo_surface_t* surface = nullptr;  // null when the file could not be read
};

struct FrameBitmap::Impl {
    cairo_surface_t* surface = nullptr;  // CAIRO_FORMAT_ARGB32: premultiplied native-endian ARGB
};

}  // namespace platform
