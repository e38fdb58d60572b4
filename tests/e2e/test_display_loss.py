"""The X server goes away while the real program shows its window or its message box (Linux):
only the window and the box end, the run goes on as it does without a display."""

import os
import shutil
import subprocess
import time
import unittest

from harness import WINDOWS, Client, command, exit_code, fixture_bytes, md5_of
from test_install import write_record


class PrivateDisplay:
    """A private Xvfb that a test can kill."""

    def __init__(self, test):
        read_end, write_end = os.pipe()
        self.process = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_end), "-screen", "0", "800x600x24", "-nolisten",
             "tcp"], pass_fds=(write_end,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(write_end)
        with os.fdopen(read_end) as numbers:
            number = numbers.readline().strip()
        test.addCleanup(self.kill)
        if not number:
            raise RuntimeError("Xvfb did not start")
        self.name = ":" + number

    def kill(self):
        if self.process.poll() is None:
            self.process.kill()
        self.process.wait(30)


@unittest.skipIf(WINDOWS or shutil.which("Xvfb") is None, "Linux, with Xvfb")
class DisplayLoss(unittest.TestCase):
    def start(self, client, display, *args):
        return subprocess.Popen(command(client.updater, args),
                                env=client.env({"DISPLAY": display.name}),
                                stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, text=True, errors="replace")

    def test_install_pass_runs_every_installer_when_the_display_goes_away(self):
        client = Client(self)
        first = fixture_bytes(0, seconds=3, tag="first")
        second = fixture_bytes(0, tag="second")
        write_record(client, {"101": (first, md5_of(first)), "20": (second, md5_of(second))},
                     "101|20")
        display = PrivateDisplay(self)
        updater = self.start(client, display, "-action:install", "-autorunning:false")
        self.assertEqual([s[0] for s in client.wait_started(1)], ["setup_101.exe"])
        time.sleep(0.5)  # the window is up and the spinner turns
        display.kill()
        _, stderr = updater.communicate(timeout=60)
        self.assertEqual(exit_code(updater.returncode), 0, stderr[-3000:])
        self.assertEqual([s[0] for s in client.started()], ["setup_101.exe", "setup_20.exe"])
        lines = client.log_lines()
        self.assertEqual(lines.count("Install package success."), 2, client.log_text())
        self.assertEqual(lines[-1], "Update process exit code:0")

    def test_message_box_gives_way_to_standard_error_when_the_display_goes_away(self):
        # No update service listens: the request fails and the box shows its text.
        client = Client(self)
        display = PrivateDisplay(self)
        updater = self.start(client, display, "-action:force_download", "-appid:101",
                             "-pid:42", "-bin_version:2.0.0.0")
        deadline = time.monotonic() + 30
        while "Update request failed." not in client.log_lines() and time.monotonic() < deadline:
            time.sleep(0.1)
        time.sleep(1.0)  # the box is up and waits for its button
        self.assertIsNone(updater.poll(), "the box did not wait")
        display.kill()
        _, stderr = updater.communicate(timeout=60)
        self.assertEqual(exit_code(updater.returncode), -1, stderr[-3000:])
        self.assertIn("Korvane\u5fae\u7aef: \u975e\u5e38\u62b1\u6b49", stderr)


if __name__ == "__main__":
    unittest.main()
