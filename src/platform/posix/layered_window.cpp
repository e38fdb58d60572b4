// The Linux layered window: an override-redirect X window (no decoration, never focused, placed
// exactly where asked, out of any task bar) with a 32-bit ARGB visual, so that a compositing
// manager blends it with per-pixel alpha. Frames go into a pixmap of the window's depth and are
// copied to the window; exposures are repaired from the same pixmap. The X connection belongs to
// the thread that created the window and is served by that thread's message loop. When the
// connection is lost (the X server ends), the window is gone but the updater goes on: every
// later call on it does nothing, as without a display.
#include "platform/layered_window.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <fcntl.h>

#include <algorithm>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

#include "platform/code_page.h"
#include "platform/frame_composer.h"
#include "platform/posix/graphics_internal.h"
#include "platform/posix/message_loop_internal.h"

namespace platform {

struct LayeredWindow::Impl {
    Display* display = nullptr;
    Window window = 0;
    Visual* visual = nullptr;
    int depth = 0;
    Colormap colormap = 0;
    Pixmap pixmap = 0;
    GC gc = nullptr;
    int width = 0;
    int height = 0;
    bool shown = false;
    LoopThreadId owner = 0;
    MessageTarget target = nullptr;
    int sourceId = 0;
    bool lost = false;  // the connection is broken: Xlib must not be called on it again
};

namespace {

// Xlib's default handler ends the process on any protocol error; a failed request on the
// progress window must not end the updater.
int IgnoreXError(Display*, XErrorEvent*) {
    return 0;
}

// Xlib's default handlers of a broken connection end the process. Ours only return, and the
// connection's own exit handler marks it lost: Xlib then gives up the call under way, and
// nothing calls it on that connection again.
int IgnoreXIOError(Display*) {
    return 0;
}

void MarkDisplayLost(Display*, void* data) {
    static_cast<LayeredWindow::Impl*>(data)->lost = true;
}

// Serves the connection from the loop (reading from it when `read` is set). Once it is lost,
// the loop stops watching it; this is the source's last call.
bool ServeDisplay(LayeredWindow::Impl& impl, bool read);

// Handles the events Xlib has queued (reading more from the connection when `read` is set).
// True when there was any.
bool ProcessEvents(LayeredWindow::Impl& impl, bool read) {
    bool any = false;
    while (!impl.lost &&
           XEventsQueued(impl.display, read ? QueuedAfterReading : QueuedAlready) > 0) {
        XEvent event;
        XNextEvent(impl.display, &event);
        any = true;
        if (event.type == Expose && event.xexpose.window == impl.window) {
            XCopyArea(impl.display, impl.pixmap, impl.window, impl.gc, event.xexpose.x,
                      event.xexpose.y, event.xexpose.width, event.xexpose.height, event.xexpose.x,
                      event.xexpose.y);
        }
    }
    return any;
}

// A 32-bit CARDINAL list property of the root window; empty when it is missing.
std::vector<long> RootCardinals(Display* display, const char* name) {
    std::vector<long> values;
    Atom property = XInternAtom(display, name, True);
    if (property == None)
        return values;
    Atom type = None;
    int format = 0;
    unsigned long count = 0;
    unsigned long left = 0;
    unsigned char* data = nullptr;
    if (XGetWindowProperty(display, DefaultRootWindow(display), property, 0, 1024, False,
                           XA_CARDINAL, &type, &format, &count, &left, &data) == Success &&
        type == XA_CARDINAL && format == 32 && data != nullptr) {
        // Xlib hands 32-bit items over as longs.
        const long* items = reinterpret_cast<const long*>(data);
        values.assign(items, items + count);
    }
    if (data != nullptr)
        XFree(data);
    return values;
}

void SetNames(Display* display, Window window, const WindowNames& names) {
    XStoreName(display, window, WideToAnsi(names.title).c_str());
    std::string programName = WideToAnsi(names.programName);
    std::string className = WideToAnsi(names.className);
    XClassHint hint;
    hint.res_name = programName.data();
    hint.res_class = className.data();
    XSetClassHint(display, window, &hint);
    // Compositing managers pick their rules for shadows and fading by the window type.
    Atom type = XInternAtom(display, "_NET_WM_WINDOW_TYPE", False);
    Atom notification = XInternAtom(display, "_NET_WM_WINDOW_TYPE_NOTIFICATION", False);
    XChangeProperty(display, window, type, XA_ATOM, 32, PropModeReplace,
                    reinterpret_cast<unsigned char*>(&notification), 1);
}

}  // namespace

LayeredWindow::LayeredWindow(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

std::unique_ptr<LayeredWindow> LayeredWindow::Create(ModuleInstance instance, int width, int height,
                                                     MessageProc proc, const WindowNames& names) {
    const char* name = std::getenv("DISPLAY");
    if (name == nullptr || *name == '\0')
        return nullptr;
    static std::once_flag handlerOnce;
    std::call_once(handlerOnce, [] {
        XSetErrorHandler(IgnoreXError);
        XSetIOErrorHandler(IgnoreXIOError);
    });

    auto impl = std::make_unique<Impl>();
    impl->display = XOpenDisplay(nullptr);
    if (impl->display == nullptr)
        return nullptr;
    Display* display = impl->display;
    XSetIOErrorExitHandler(display, MarkDisplayLost, impl.get());
    fcntl(ConnectionNumber(display), F_SETFD, FD_CLOEXEC);
    int screen = DefaultScreen(display);
    Window root = RootWindow(display, screen);

    XVisualInfo info;
    XSetWindowAttributes attributes = {};
    unsigned long mask = CWBorderPixel | CWBackPixmap | CWOverrideRedirect | CWEventMask;
    if (XMatchVisualInfo(display, screen, 32, TrueColor, &info)) {
        impl->visual = info.visual;
        impl->depth = info.depth;
        impl->colormap = XCreateColormap(display, root, info.visual, AllocNone);
        attributes.colormap = impl->colormap;
        mask |= CWColormap;
    } else {
        // Without an alpha visual the frame shows as if drawn over black.
        impl->visual = DefaultVisual(display, screen);
        impl->depth = DefaultDepth(display, screen);
    }
    attributes.background_pixmap = None;
    attributes.border_pixel = 0;
    attributes.override_redirect = True;
    attributes.event_mask = ExposureMask | StructureNotifyMask;
    impl->window = XCreateWindow(display, root, 0, 0, width, height, 0, impl->depth, InputOutput,
                                 impl->visual, mask, &attributes);
    impl->width = width;
    impl->height = height;
    impl->pixmap = XCreatePixmap(display, impl->window, width, height, impl->depth);
    impl->gc = XCreateGC(display, impl->pixmap, 0, nullptr);
    XSetForeground(display, impl->gc, 0);
    XFillRectangle(display, impl->pixmap, impl->gc, 0, 0, width, height);
    SetNames(display, impl->window, names);
    XSync(display, False);

    impl->owner = GetCurrentLoopThread();
    impl->target = CreateMessageTarget(instance, names.className, proc);
    Impl* raw = impl.get();
    impl->sourceId = posix::AddLoopSource({ConnectionNumber(display),
                                           [raw] { return ServeDisplay(*raw, false); },
                                           [raw] { ServeDisplay(*raw, true); }});
    return std::unique_ptr<LayeredWindow>(new LayeredWindow(std::move(impl)));
}

namespace {

bool ServeDisplay(LayeredWindow::Impl& impl, bool read) {
    bool any = false;
    if (!impl.lost) {
        any = ProcessEvents(impl, read);
        if (!impl.lost)
            XFlush(impl.display);
    }
    if (impl.lost && impl.sourceId != 0) {
        int id = impl.sourceId;
        impl.sourceId = 0;
        posix::RemoveLoopSource(id);
    }
    return any;
}

}  // namespace

LayeredWindow::~LayeredWindow() {
    Impl& impl = *impl_;
    if (impl.sourceId != 0)
        posix::RemoveLoopSource(impl.sourceId);
    DestroyMessageTarget(impl.target);
    // A lost connection cannot be closed without Xlib calling the server; it is left as it is.
    if (impl.lost)
        return;
    XFreeGC(impl.display, impl.gc);
    XFreePixmap(impl.display, impl.pixmap);
    XDestroyWindow(impl.display, impl.window);
    if (impl.colormap != 0)
        XFreeColormap(impl.display, impl.colormap);
    XCloseDisplay(impl.display);
}

MessageTarget LayeredWindow::Target() const {
    return impl_->target;
}

WorkArea LayeredWindow::GetWorkArea() const {
    if (impl_->lost)
        return {};
    Display* display = impl_->display;
    std::vector<long> areas = RootCardinals(display, "_NET_WORKAREA");
    std::vector<long> desktop = RootCardinals(display, "_NET_CURRENT_DESKTOP");
    size_t index = desktop.empty() ? 0 : static_cast<size_t>(desktop[0]);
    if (areas.size() >= 4 * (index + 1)) {
        const long* area = &areas[4 * index];
        return {static_cast<int>(area[0]), static_cast<int>(area[1]),
                static_cast<int>(area[0] + area[2]), static_cast<int>(area[1] + area[3])};
    }
    int screen = DefaultScreen(display);
    return {0, 0, DisplayWidth(display, screen), DisplayHeight(display, screen)};
}

void LayeredWindow::MoveTo(int x, int y) {
    if (impl_->lost)
        return;
    XMoveWindow(impl_->display, impl_->window, x, y);
    XFlush(impl_->display);
}

void LayeredWindow::Show() {
    impl_->shown = true;
    if (impl_->lost)
        return;
    XMapWindow(impl_->display, impl_->window);
    XFlush(impl_->display);
}

void LayeredWindow::Hide() {
    impl_->shown = false;
    if (impl_->lost)
        return;
    XUnmapWindow(impl_->display, impl_->window);
    XFlush(impl_->display);
}

bool LayeredWindow::IsVisible() const {
    return impl_->shown;
}

void LayeredWindow::BringToFront() {
    if (impl_->lost)
        return;
    // An override-redirect window is never minimised and takes no focus: raising it is all.
    XRaiseWindow(impl_->display, impl_->window);
    XFlush(impl_->display);
}

void LayeredWindow::Update() {
    if (impl_->lost)
        return;
    XFlush(impl_->display);
}

void LayeredWindow::Present(FrameBitmap& frame) {
    Impl& impl = *impl_;
    if (!frame.IsValid() || impl.lost)
        return;
    cairo_surface_t* surface = frame.impl().surface;
    cairo_surface_flush(surface);
    int width = std::min(frame.Width(), impl.width);
    int height = std::min(frame.Height(), impl.height);
    XImage* image = XCreateImage(impl.display, impl.visual, impl.depth, ZPixmap, 0,
                                 reinterpret_cast<char*>(cairo_image_surface_get_data(surface)),
                                 width, height, 32, cairo_image_surface_get_stride(surface));
    if (image == nullptr)
        return;
    // cairo's pixels are 32-bit words in the machine's byte order; Xlib converts if the server's
    // order differs.
    image->byte_order = __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__ ? LSBFirst : MSBFirst;
    XPutImage(impl.display, impl.pixmap, impl.gc, image, 0, 0, 0, 0, width, height);
    image->data = nullptr;  // the surface keeps its pixels
    XDestroyImage(image);
    XCopyArea(impl.display, impl.pixmap, impl.window, impl.gc, 0, 0, impl.width, impl.height, 0, 0);
    XFlush(impl.display);
}

void LayeredWindow::RunOnOwnerThread(std::function<void()> task) {
    posix::RunOnLoopThread(impl_->owner, std::move(task));
}

}  // namespace platform
