// The GDI and GDI+ objects behind the Windows skin images and frame bitmaps, shared by the frame
// composer and the window that presents its frames.
#pragma once

// GDI+'s headers need the Windows and COM types declared first (the property ids of objidl.h
// are left out by WIN32_LEAN_AND_MEAN).
#include <windows.h>

#include <objidl.h>

#include <gdiplus.h>

#include <cstdint>
#include <memory>

#include "platform/frame_composer.h"

namespace platform {

struct SkinImage::Impl {
    // Made even when the file cannot be read: its native image is then null, it measures 0 x 0
    // and drawing it fails without drawing anything.
    std::unique_ptr<Gdiplus::Image> image;
    bool loaded = false;
};

// A 32-bit bottom-up DIB section selected into a memory context compatible with the window's
// context (or the screen's, without a window).
struct FrameBitmap::Impl {
    HWND window = nullptr;
    HDC windowDc = nullptr;
    HDC memoryDc = nullptr;
    HBITMAP bitmap = nullptr;
    HGDIOBJ previous = nullptr;
    uint32_t* bits = nullptr;
};

}  // namespace platform
