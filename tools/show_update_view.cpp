// Shows the progress window as the updater does and stops its spinner at a given angle, so that
// the screen can be compared with a rendered frame:
//   show_update_view download|install PERCENT ANGLE SECONDS
// Prints "shown X Y" (the window's top-left corner) once the frame at ANGLE is on the screen,
// then keeps the window up for SECONDS. Exit code 1 when no window can be made, 2 for a usage
// error.
#include <cstdio>
#include <cstring>

#include "common/number.h"
#include "common/text.h"
#include "platform/clock.h"
#include "platform/message_loop.h"
#include "view/update_view.h"
#include "view/view_frame.h"

int main(int argc, char** argv) {
    int mode = -1;
    if (argc == 5 && std::strcmp(argv[1], "download") == 0)
        mode = progress_view::kDownloadMode;
    else if (argc == 5 && std::strcmp(argv[1], "install") == 0)
        mode = progress_view::kInstallMode;
    int percent = argc == 5 ? ToInt32OrMinusOne(ToWide(argv[2])) : -1;
    int angle = argc == 5 ? ToInt32OrMinusOne(ToWide(argv[3])) : -1;
    int seconds = argc == 5 ? ToInt32OrMinusOne(ToWide(argv[4])) : -1;
    if (mode < 0 || percent < 0 || angle < 15 || angle > 360 || angle % 15 != 0 || seconds < 0) {
        std::fprintf(stderr,
                     "usage: show_update_view download|install PERCENT ANGLE SECONDS\n"
                     "       (ANGLE one of 15, 30, ..., 360)\n");
        return 2;
    }

    ShowUpdateView(platform::GetProcessModuleInstance(), mode);
    UpdateViewImpl* view = GetUpdateView();
    platform::LayeredWindow* window = view->GetWindow();
    if (window == nullptr) {
        std::fprintf(stderr, "show_update_view: no window (is there a display?)\n");
        return 1;
    }
    view->SetProgress(percent, 100);

    // Let the frames run until one is drawn at the angle, then stop them there.
    platform::LoopMessage message;
    while (GetSpinnerAngle() != angle) {
        if (!platform::GetLoopMessage(message))
            return 1;
        platform::DispatchLoopMessage(message);
    }
    platform::KillLoopTimer(window->Target(), progress_view::kFrameTimerId);
    progress_view::Placement place = progress_view::PlaceView(window->GetWorkArea());
    std::printf("shown %d %d\n", place.x, place.y);
    std::fflush(stdout);

    uint32_t start = platform::GetTickCount32();
    while (platform::GetTickCount32() - start < static_cast<uint32_t>(seconds) * 1000u) {
        platform::WaitForLoopMessage(100);
        while (platform::PeekLoopMessage(message))
            platform::DispatchLoopMessage(message);
    }
    return 0;
}
