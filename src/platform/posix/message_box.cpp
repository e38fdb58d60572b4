// The message box of the Linux build: a small dialog with the caption as its title, the text and
// an OK button, drawn with cairo and pango on its own X connection; without a display, the text
// goes to standard error. It blocks the calling thread until OK, Enter, Escape or the window's
// close button ends it, until CloseMessageBoxes closes every box at the end of a run, or until
// the connection to the X server is lost: the text then goes to standard error as without a
// display, and the updater goes on.
#include "platform/message_box.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <cairo-xlib.h>
#include <pango/pangocairo.h>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "platform/code_page.h"
#include "platform/posix/graphics_internal.h"

namespace platform {

namespace {

constexpr int kWidth = 380;
constexpr int kHeight = 150;
constexpr int kButtonX = kWidth - 100;
constexpr int kButtonY = kHeight - 48;
constexpr int kButtonWidth = 84;
constexpr int kButtonHeight = 32;

// Closing every box: a pipe whose read end becomes readable for good when the first byte is
// written, which each box's wait watches beside its X connection.
std::mutex g_closeLock;
bool g_closing = false;
int g_closePipe[2] = {-1, -1};

// The read end of the pipe, or -1 once the boxes are being closed (or without a pipe).
int CloseSignal() {
    std::lock_guard<std::mutex> guard(g_closeLock);
    if (g_closing)
        return -1;
    if (g_closePipe[0] < 0 && pipe2(g_closePipe, O_CLOEXEC | O_NONBLOCK) != 0)
        g_closePipe[0] = g_closePipe[1] = -1;
    return g_closePipe[0];
}

bool Closing() {
    std::lock_guard<std::mutex> guard(g_closeLock);
    return g_closing;
}

// Waits until the X connection has an event queued; false when the boxes are to close or the
// connection was lost.
bool WaitForEvent(Display* display, int closeSignal, const bool& lost) {
    while (XPending(display) == 0) {
        if (lost)
            return false;
        pollfd watched[2] = {{ConnectionNumber(display), POLLIN, 0}, {closeSignal, POLLIN, 0}};
        int result = poll(watched, closeSignal >= 0 ? 2 : 1, -1);
        if (result < 0 && errno != EINTR)
            return false;
        if (closeSignal >= 0 && (watched[1].revents & POLLIN) != 0)
            return false;
        if (closeSignal < 0 && Closing())
            return false;
    }
    return true;
}

void Draw(Display* display, Window window, const std::string& text) {
    std::lock_guard<std::mutex> lock(TextDrawingMutex());
    cairo_surface_t* surface = cairo_xlib_surface_create(
        display, window, DefaultVisual(display, DefaultScreen(display)), kWidth, kHeight);
    cairo_t* cr = cairo_create(surface);
    cairo_set_source_rgb(cr, 0.97, 0.97, 0.97);
    cairo_paint(cr);

    PangoLayout* layout = pango_cairo_create_layout(cr);
    PangoFontDescription* font = pango_font_description_from_string("Sans 11");
    pango_layout_set_font_description(layout, font);
    pango_layout_set_width(layout, (kWidth - 40) * PANGO_SCALE);
    pango_layout_set_wrap(layout, PANGO_WRAP_WORD_CHAR);
    pango_layout_set_text(layout, text.c_str(), -1);
    cairo_set_source_rgb(cr, 0.1, 0.1, 0.1);
    cairo_move_to(cr, 20, 24);
    pango_cairo_show_layout(cr, layout);

    cairo_rectangle(cr, kButtonX + 0.5, kButtonY + 0.5, kButtonWidth, kButtonHeight);
    cairo_set_source_rgb(cr, 0.88, 0.88, 0.88);
    cairo_fill_preserve(cr);
    cairo_set_source_rgb(cr, 0.45, 0.45, 0.45);
    cairo_set_line_width(cr, 1);
    cairo_stroke(cr);
    pango_layout_set_width(layout, kButtonWidth * PANGO_SCALE);
    pango_layout_set_alignment(layout, PANGO_ALIGN_CENTER);
    pango_layout_set_text(layout, "OK", -1);
    cairo_set_source_rgb(cr, 0.1, 0.1, 0.1);
    cairo_move_to(cr, kButtonX, kButtonY + 7);
    pango_cairo_show_layout(cr, layout);

    pango_font_description_free(font);
    g_object_unref(layout);
    cairo_destroy(cr);
    cairo_surface_destroy(surface);
    XFlush(display);
}

// Xlib's default handlers of a broken connection end the process; these only note it, and the
// box then never calls Xlib on that connection again.
int IgnoreXIOError(Display*) {
    return 0;
}

void MarkDisplayLost(Display*, void* data) {
    *static_cast<bool*>(data) = true;
}

void WriteToStandardError(const std::string& caption, const std::string& text) {
    std::fprintf(stderr, "%s: %s\n", caption.c_str(), text.c_str());
    std::fflush(stderr);
}

}  // namespace

void ShowMessageBox(const std::wstring& caption, const std::wstring& text) {
    std::string narrowCaption = WideToAnsi(caption);
    std::string narrowText = WideToAnsi(text);
    int closeSignal = CloseSignal();
    if (Closing())
        return;
    const char* displayName = std::getenv("DISPLAY");
    Display* display =
        displayName != nullptr && *displayName != '\0' ? XOpenDisplay(nullptr) : nullptr;
    if (display == nullptr) {
        WriteToStandardError(narrowCaption, narrowText);
        return;
    }
    bool lost = false;
    XSetIOErrorHandler(IgnoreXIOError);
    XSetIOErrorExitHandler(display, MarkDisplayLost, &lost);
    int screen = DefaultScreen(display);
    int x = (DisplayWidth(display, screen) - kWidth) / 2;
    int y = (DisplayHeight(display, screen) - kHeight) / 2;
    Window window =
        XCreateSimpleWindow(display, RootWindow(display, screen), x, y, kWidth, kHeight, 1,
                            BlackPixel(display, screen), WhitePixel(display, screen));
    XStoreName(display, window, narrowCaption.c_str());
    Atom utf8String = XInternAtom(display, "UTF8_STRING", False);
    XChangeProperty(display, window, XInternAtom(display, "_NET_WM_NAME", False), utf8String, 8,
                    PropModeReplace, reinterpret_cast<const unsigned char*>(narrowCaption.c_str()),
                    static_cast<int>(narrowCaption.size()));
    Atom dialogType = XInternAtom(display, "_NET_WM_WINDOW_TYPE_DIALOG", False);
    XChangeProperty(display, window, XInternAtom(display, "_NET_WM_WINDOW_TYPE", False), XA_ATOM,
                    32, PropModeReplace, reinterpret_cast<unsigned char*>(&dialogType), 1);
    XSizeHints hints{};
    hints.flags = PPosition | PMinSize | PMaxSize;
    hints.x = x;
    hints.y = y;
    hints.min_width = hints.max_width = kWidth;
    hints.min_height = hints.max_height = kHeight;
    XSetWMNormalHints(display, window, &hints);
    Atom deleteWindow = XInternAtom(display, "WM_DELETE_WINDOW", False);
    XSetWMProtocols(display, window, &deleteWindow, 1);
    XSelectInput(display, window, ExposureMask | ButtonPressMask | KeyPressMask);
    XMapRaised(display, window);

    for (bool open = true; open && !lost;) {
        // Events are taken only when one is queued, so a broken connection never leaves Xlib
        // waiting or without an event to hand over.
        if (!WaitForEvent(display, closeSignal, lost))
            break;
        XEvent event;
        XNextEvent(display, &event);
        switch (event.type) {
            case Expose:
                if (event.xexpose.count == 0)
                    Draw(display, window, narrowText);
                break;
            case ButtonPress:
                open = !(event.xbutton.x >= kButtonX && event.xbutton.x < kButtonX + kButtonWidth &&
                         event.xbutton.y >= kButtonY && event.xbutton.y < kButtonY + kButtonHeight);
                break;
            case KeyPress: {
                KeySym key = XLookupKeysym(&event.xkey, 0);
                open = !(key == XK_Return || key == XK_KP_Enter || key == XK_Escape ||
                         key == XK_space);
                break;
            }
            case ClientMessage:
                open = static_cast<Atom>(event.xclient.data.l[0]) != deleteWindow;
                break;
            default:
                break;
        }
    }
    if (lost) {
        WriteToStandardError(narrowCaption, narrowText);
        return;
    }
    XDestroyWindow(display, window);
    XCloseDisplay(display);
}

void CloseMessageBoxes() {
    std::lock_guard<std::mutex> guard(g_closeLock);
    g_closing = true;
    if (g_closePipe[1] >= 0) {
        char byte = 1;
        while (write(g_closePipe[1], &byte, 1) < 0 && errno == EINTR) {
        }
    }
}

}  // namespace platform
