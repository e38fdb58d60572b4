// Renders one frame of the progress window to a PNG file, with the skin beside this program:
//   render_frame MODE PERCENT ANGLE OUTPUT.png [requested]
// MODE is "download" or "install"; "requested" renders the frame of a draw request (message
// 2023), whose install text is empty. Exit code 0 on success, 1 when the file cannot be written,
// 2 for a usage error.
#include <cstdio>
#include <cstring>
#include <string>

#include "common/number.h"
#include "common/text.h"
#include "platform/frame_composer.h"
#include "view/view_frame.h"

namespace {

int Usage() {
    std::fprintf(stderr,
                 "usage: render_frame download|install PERCENT ANGLE OUTPUT.png [requested]\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 5 || argc > 6)
        return Usage();
    int mode = -1;
    if (std::strcmp(argv[1], "download") == 0)
        mode = progress_view::kDownloadMode;
    else if (std::strcmp(argv[1], "install") == 0)
        mode = progress_view::kInstallMode;
    int percent = ToInt32OrMinusOne(ToWide(argv[2]));
    int angle = ToInt32OrMinusOne(ToWide(argv[3]));
    bool requested = argc == 6 && std::strcmp(argv[5], "requested") == 0;
    if (mode < 0 || percent < 0 || angle < 0 || (argc == 6 && !requested))
        return Usage();

    platform::GraphicsToken token = platform::StartGraphics();
    bool saved = false;
    {
        auto background = platform::SkinImage::Load(progress_view::SkinImagePath(L"bg.png"));
        auto spinner = platform::SkinImage::Load(progress_view::SkinImagePath(L"gb.png"));
        auto textBar = platform::SkinImage::Load(progress_view::SkinImagePath(L"textbg.png"));
        platform::FrameContent content;
        content.background = background.get();
        content.spinner = spinner.get();
        content.textBar = textBar.get();
        content.angle = angle;
        content.text = requested ? progress_view::FormatRequestedFrameText(mode, percent)
                                 : progress_view::FormatViewText(mode, percent);
        platform::FrameBitmap bitmap(progress_view::frame_layout::kWidth,
                                     progress_view::frame_layout::kHeight);
        platform::ComposeFrame(progress_view::kFrameLayout, content, bitmap);
        saved = bitmap.SavePng(ToWide(argv[4]));
    }
    platform::StopGraphics(token);
    if (!saved) {
        std::fprintf(stderr, "render_frame: cannot write %s\n", argv[4]);
        return 1;
    }
    return 0;
}
