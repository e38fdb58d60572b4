"""The progress window on a real X server, compared with the composer's own frame.

A private Xvfb runs with xcompmgr, so that the window's per-pixel alpha is blended as a desktop
would blend it. For each mode the window is shown with its spinner stopped at a known angle
(tools/show_update_view), the screen is captured, and the window's rectangle must equal the frame
of tools/render_frame laid over the screen as it was before. The Windows build runs under Wine
with its X11 driver, in a prefix of its own (scripts/lib/wine-x11-prefix.sh).

The captured windows, the frames and the expected pictures are kept as PNG files in
PALLATON_ARTEFACT_DIR. On Linux the window cases of the unit tests run on the same display.
"""

import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools"))
import png  # noqa: E402

BIN_DIR = os.environ.get("PALLATON_BIN_DIR", "")
TARGET = os.environ.get("PALLATON_TARGET", "linux")
WINDOWS = TARGET == "windows"
ARTEFACTS = os.environ.get("PALLATON_ARTEFACT_DIR", os.path.join(BIN_DIR, "..", "artefacts"))
CACHE = os.environ.get("PALLATON_CACHE", "/var/cache/pallaton")
WINE_X11_PREFIX = os.environ.get("PALLATON_WINE_X11_PREFIX", os.path.join(CACHE, "wine-x11"))
SOURCE_ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))

SCREEN = (1280, 1024)
FRAME = (330, 250)
# Without a window manager the work area is the screen: half its extent less 165.
PLACE = (SCREEN[0] // 2 - 165, SCREEN[1] // 2 - 165)
# Compositing rounds premultiplied colours once more than the frame's own blend.
TOLERANCE = 3
CASES = {"download": ("download", 42, 90), "install": ("install", 0, 225)}


def missing_tools():
    tools = ["Xvfb", "xcompmgr", "import"] + (["wine", "wineserver"] if WINDOWS else [])
    return [tool for tool in tools if shutil.which(tool) is None]


def program(name):
    return os.path.join(BIN_DIR, name + (".exe" if WINDOWS else ""))


def wine_path(path):
    return "Z:" + path.replace("/", "\\")


class Screen:
    """A private Xvfb with a compositing manager, and the environment to run programs on it."""

    def __init__(self):
        read_end, write_end = os.pipe()
        self.xvfb = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_end), "-screen", "0",
             f"{SCREEN[0]}x{SCREEN[1]}x24", "-nolisten", "tcp"],
            pass_fds=(write_end,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(write_end)
        with os.fdopen(read_end) as numbers:
            number = numbers.readline().strip()
        if not number:
            self.xvfb.kill()
            raise RuntimeError("Xvfb did not start")
        self.env = dict(os.environ, DISPLAY=":" + number)
        if WINDOWS:
            self.env.update(WINEPREFIX=WINE_X11_PREFIX, WINEDEBUG="-all")
        self.compositor = subprocess.Popen(["xcompmgr"], env=self.env,
                                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.started = time.monotonic()

    def command(self, name, args):
        return (["wine", program(name)] if WINDOWS else [program(name)]) + [str(a) for a in args]

    def capture(self, path):
        subprocess.run(["import", "-window", "root", "PNG32:" + path], env=self.env, check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60)
        return png.read_png(path)

    def settled_capture(self, path):
        """The screen once the compositor has painted it: two equal captures in a row, taken
        at least two seconds after the compositor started."""
        time.sleep(max(0.0, self.started + 2.0 - time.monotonic()))
        previous = self.capture(path)
        for _ in range(20):
            time.sleep(0.3)
            current = self.capture(path)
            if current.rgba == previous.rgba:
                return current
            previous = current
        raise RuntimeError("the screen does not settle")

    def close(self):
        if WINDOWS:
            subprocess.run(["wineserver", "-k"], env=self.env, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL)
        for process in (self.compositor, self.xvfb):
            process.terminate()
            try:
                process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()


def largest_difference(a, b):
    return max(abs(x - y) for x, y in zip(a.rgba, b.rgba))


@unittest.skipIf(missing_tools(), f"missing {', '.join(missing_tools())}")
class ProgressWindowOnScreen(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if WINDOWS:
            subprocess.run([os.path.join(SOURCE_ROOT, "scripts", "lib", "wine-x11-prefix.sh")],
                           check=True, env=dict(os.environ, PALLATON_WINE_X11_PREFIX=WINE_X11_PREFIX),
                           timeout=600)
        os.makedirs(ARTEFACTS, exist_ok=True)
        cls.scratch = tempfile.mkdtemp(prefix="pallaton-screenshot-")
        cls.screen = Screen()
        if WINDOWS:
            # The first Wine process starts the prefix's services; let it not be a measured one.
            subprocess.run(["wineserver", "-p"], env=cls.screen.env)
            subprocess.run(["wine", "cmd", "/c", "exit", "0"], env=cls.screen.env,
                           stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL, timeout=120)

    @classmethod
    def tearDownClass(cls):
        cls.screen.close()
        shutil.rmtree(cls.scratch, True)

    def render_frame(self, mode, percent, angle):
        path = os.path.join(self.scratch, f"frame-{mode}.png")
        out = wine_path(path) if WINDOWS else path
        subprocess.run(self.screen.command("render_frame", [mode, percent, angle, out]),
                       env=self.screen.env, check=True, stdin=subprocess.DEVNULL, timeout=120)
        return png.read_png(path)

    def check_mode(self, name):
        mode, percent, angle = CASES[name]
        frame = self.render_frame(mode, percent, angle)
        self.assertEqual(FRAME, (frame.width, frame.height))

        shown = subprocess.Popen(self.screen.command("show_update_view", [mode, percent, angle, 60]),
                                 env=self.screen.env, stdin=subprocess.DEVNULL,
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        try:
            line = shown.stdout.readline().split()
            self.assertEqual("shown", line[0] if line else shown.stderr.read())
            self.assertEqual(PLACE, (int(line[1]), int(line[2])))
            # The spinner stands still now: the screen settles once the compositor has painted.
            screen = self.screen.settled_capture(os.path.join(self.scratch, "screen.png"))
        finally:
            shown.terminate()
            shown.communicate(timeout=30)
        # The compositor paints the desktop only where something changed, so what lies behind the
        # window is captured once the window has gone.
        background = self.screen.settled_capture(os.path.join(self.scratch, "background.png"))

        left, top = PLACE
        window = screen.crop(left, top, *FRAME)
        expected = png.over(frame, background.crop(left, top, *FRAME))
        difference = largest_difference(window, expected)
        prefix = os.path.join(ARTEFACTS, f"{TARGET}-{name}")
        png.write_png(window, prefix + "-window.png")
        png.write_png(frame, prefix + "-frame.png")
        png.write_png(expected, prefix + "-expected.png")
        self.assertLessEqual(difference, TOLERANCE,
                             f"the window differs from the frame; see {prefix}-*.png")
        # Around the window the screen is unchanged: nothing is drawn outside its rectangle.
        for x, y in ((left - 1, top), (left + FRAME[0], top), (left, top - 1),
                     (left, top + FRAME[1]), (left - 1, top + FRAME[1])):
            self.assertEqual(background.pixel(x, y), screen.pixel(x, y), (x, y))

    def test_download_mode(self):
        self.check_mode("download")

    def test_install_mode(self):
        self.check_mode("install")

    @unittest.skipIf(WINDOWS, "the Windows unit tests make real windows under Wine already")
    def test_window_unit_cases_on_a_display(self):
        run = subprocess.run([program("view_tests"), "--gtest_filter=UpdateViewWindow.*"],
                             env=self.screen.env, stdin=subprocess.DEVNULL, capture_output=True,
                             text=True, timeout=300)
        self.assertEqual(0, run.returncode, run.stdout + run.stderr)
        self.assertNotIn("SKIPPED", run.stdout)


if __name__ == "__main__":
    unittest.main(verbosity=2)
