// The Windows layered window: a layered pop-up tool window that never activates itself, placed in
// the work area and given its content with UpdateLayeredWindow.
#include "platform/layered_window.h"

#include <windows.h>

#include "platform/frame_composer.h"
#include "platform/win32/graphics_internal.h"

namespace platform {

struct LayeredWindow::Impl {
    HWND window = nullptr;
    MessageProc proc = nullptr;
    int width = 0;
    int height = 0;
};

namespace {

LRESULT CALLBACK LayeredWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_NCCREATE) {
        auto* create = reinterpret_cast<CREATESTRUCTW*>(lParam);
        SetWindowLongPtrW(window, GWLP_USERDATA,
                          reinterpret_cast<LONG_PTR>(create->lpCreateParams));
    }
    // The whole client area is drawn by each frame: nothing to erase.
    if (message == WM_ERASEBKGND)
        return 1;
    auto* impl = reinterpret_cast<LayeredWindow::Impl*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (impl == nullptr || impl->proc == nullptr)
        return DefWindowProcW(window, message, wParam, lParam);
    return impl->proc(window, message, wParam, lParam);
}

}  // namespace

LayeredWindow::LayeredWindow(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

std::unique_ptr<LayeredWindow> LayeredWindow::Create(ModuleInstance instance, int width, int height,
                                                     MessageProc proc, const WindowNames& names) {
    WNDCLASSW windowClass = {};
    windowClass.style = CS_DBLCLKS;
    windowClass.lpfnWndProc = LayeredWindowProc;
    windowClass.hInstance = instance;
    windowClass.hIcon = LoadIconW(nullptr, reinterpret_cast<LPCWSTR>(IDI_APPLICATION));
    windowClass.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
    windowClass.hbrBackground = nullptr;
    windowClass.lpszMenuName = names.menuName;
    windowClass.lpszClassName = names.className;
    // A second view in one process (the tests make several) finds the class registered.
    if (RegisterClassW(&windowClass) == 0 && GetLastError() != ERROR_CLASS_ALREADY_EXISTS)
        return nullptr;

    auto impl = std::make_unique<Impl>();
    impl->proc = proc;
    impl->width = width;
    impl->height = height;
    impl->window = CreateWindowExW(
        WS_EX_NOACTIVATE | WS_EX_LAYERED | WS_EX_TOOLWINDOW, names.className, names.title, WS_POPUP,
        CW_USEDEFAULT, CW_USEDEFAULT, width, height, nullptr, nullptr, instance, impl.get());
    if (impl->window == nullptr)
        return nullptr;
    return std::unique_ptr<LayeredWindow>(new LayeredWindow(std::move(impl)));
}

LayeredWindow::~LayeredWindow() {
    // Through the message loop, which also forgets the window's timers.
    DestroyMessageTarget(impl_->window);
}

MessageTarget LayeredWindow::Target() const {
    return impl_->window;
}

WorkArea LayeredWindow::GetWorkArea() const {
    RECT area = {};
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &area, 0);
    return {area.left, area.top, area.right, area.bottom};
}

void LayeredWindow::MoveTo(int x, int y) {
    SetWindowPos(impl_->window, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void LayeredWindow::Show() {
    ShowWindow(impl_->window, SW_SHOW);
}

void LayeredWindow::Hide() {
    ShowWindow(impl_->window, SW_HIDE);
}

bool LayeredWindow::IsVisible() const {
    return IsWindowVisible(impl_->window) != FALSE;
}

void LayeredWindow::BringToFront() {
    HWND window = impl_->window;
    if (IsIconic(window))
        SendMessageW(window, WM_SYSCOMMAND, SC_RESTORE, 0);
    DWORD self = GetCurrentThreadId();
    // Sharing the foreground thread's input state lets this thread take the foreground.
    AttachThreadInput(GetWindowThreadProcessId(GetForegroundWindow(), nullptr), self, TRUE);
    const UINT flags = SWP_NOMOVE | SWP_NOSIZE | SWP_SHOWWINDOW;
    SetWindowPos(window, HWND_TOPMOST, 0, 0, 0, 0, flags);
    SetForegroundWindow(window);
    SetWindowPos(window, HWND_NOTOPMOST, 0, 0, 0, 0, flags);
    SetActiveWindow(window);
    SetFocus(window);
    AttachThreadInput(GetWindowThreadProcessId(GetForegroundWindow(), nullptr), self, FALSE);
    BringWindowToTop(window);
}

void LayeredWindow::Update() {
    UpdateWindow(impl_->window);
}

void LayeredWindow::Present(FrameBitmap& frame) {
    if (!frame.IsValid())
        return;
    FrameBitmap::Impl& bitmap = frame.impl();
    HWND window = impl_->window;
    HDC windowDc = bitmap.window == window ? bitmap.windowDc : GetDC(window);
    SIZE size = {impl_->width, impl_->height};
    POINT source = {0, 0};
    BLENDFUNCTION blend = {AC_SRC_OVER, 0, 255, AC_SRC_ALPHA};
    UpdateLayeredWindow(window, windowDc, nullptr, &size, bitmap.memoryDc, &source, 0, &blend,
                        ULW_ALPHA);
    if (windowDc != bitmap.windowDc)
        ReleaseDC(window, windowDc);
}

void LayeredWindow::RunOnOwnerThread(std::function<void()> task) {
    task();
}

}  // namespace platform
