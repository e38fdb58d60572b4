// The cairo objects behind the Linux skin images and frame bitmaps, shared by the frame composer
// and the window that presents its frames.
#pragma once

#include <cairo.h>

#include <mutex>

#include "platform/frame_composer.h"

namespace platform {

struct SkinImage::Impl {
    cairo_surface_t* surface = nullptr;  // null when the file could not be read
};

struct FrameBitmap::Impl {
    cairo_surface_t* surface = nullptr;  // CAIRO_FORMAT_ARGB32: premultiplied native-endian ARGB
};

// pango and the font libraries under it (harfbuzz, fontconfig) share caches between threads
// without locking them: the frame composer and the message box lay out and draw text one thread
// at a time.
inline std::mutex& TextDrawingMutex() {
    static std::mutex mutex;
    return mutex;
}

}  // namespace platform
