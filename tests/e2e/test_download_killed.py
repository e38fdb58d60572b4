"""A download killed again and again while its pieces are written: every later run resumes what
the partial file's state vouches for, and the file that finally replaces the destination is the
server's, byte for byte, never a file of the right length with wrong bytes in it."""

import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

from harness import WINDOWS, bin_path, command, host_env, windows_path

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
SERVERS = os.path.join(ROOT, "tools", "test_servers.py")
# At 4 MiB/s per connection the five pieces take about two seconds: long enough for several
# kills at different points, short enough for both targets.
SIZE = 40 * 1024 * 1024 + 7


class Servers:
    def __init__(self, test):
        self.state = tempfile.mkdtemp(prefix="pallaton-killed-servers-")
        test.addCleanup(shutil.rmtree, self.state, True)
        started = subprocess.run([sys.executable, SERVERS, "start", self.state,
                                  "--lifetime", "300"], stdout=subprocess.PIPE, text=True,
                                 timeout=90)
        test.assertEqual(started.returncode, 0)
        test.addCleanup(subprocess.run, [sys.executable, SERVERS, "stop", self.state],
                        stdout=subprocess.DEVNULL, timeout=60)
        self.values = dict(line.split("=", 1) for line in started.stdout.split())

    def limited_url(self, name, content):
        with open(os.path.join(self.values["docroot"], name), "wb") as f:
            f.write(content)
        return "http://127.0.0.1:%s/limited/%s" % (self.values["nginx_port"], name)


class KilledDownload(unittest.TestCase):
    def setUp(self):
        self.tool = bin_path("http_download.exe" if WINDOWS else "http_download")
        if not os.path.exists(self.tool):
            self.skipTest("no http_download in this build")
        self.folder = tempfile.mkdtemp(prefix="pallaton-killed-")
        self.addCleanup(shutil.rmtree, self.folder, True)
        self.target = os.path.join(self.folder, "package.bin")

    def run_download(self, url, kill_after=None):
        """Runs the tool; kills it after `kill_after` seconds. Returns the exit code, or None
        when it was killed."""
        target = windows_path(self.target) if WINDOWS else self.target
        process = subprocess.Popen(command(self.tool, [url, target, str(SIZE)]),
                                   stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                   stderr=subprocess.DEVNULL, env=host_env())
        try:
            return process.wait(timeout=kill_after if kill_after is not None else 120)
        except subprocess.TimeoutExpired:
            process.send_signal(signal.SIGKILL)
            process.wait(timeout=30)
            if kill_after is None:
                self.fail("the download did not end within its deadline")
            return None

    def leftovers(self):
        return sorted(name for name in os.listdir(self.folder) if name != "package.bin")

    def test_kills_at_any_point_never_give_a_file_with_wrong_bytes(self):
        content = os.urandom(SIZE)
        url = Servers(self).limited_url("killed.bin", content)
        # Wine needs a while to start before the first byte; the kills then fall early, in
        # the middle and late in what is left, each run resuming the one before.
        delays = (1.5, 1.2, 1.4, 1.2, 1.3) if WINDOWS else (0.3, 0.6, 0.8, 0.5, 0.9)
        kills = 0
        for kill_after in delays:
            code = self.run_download(url, kill_after)
            if code is not None:
                self.assertEqual(code, 0)
                break
            kills += 1
            # A killed run never leaves a destination; only its partial file and state.
            self.assertFalse(os.path.exists(self.target))
        self.assertGreater(kills, 0, "the download ended before the first kill")
        if not os.path.exists(self.target):
            self.assertEqual(self.run_download(url), 0)
        with open(self.target, "rb") as f:
            self.assertTrue(f.read() == content, "the file differs from the server's")
        self.assertEqual(self.leftovers(), [])

    def test_a_partial_file_that_lost_bytes_its_state_vouched_for_is_not_trusted_whole(self):
        # A partial file shorter than its state says (a copy, a disk that lost its tail) is not
        # the file the state describes: the pieces start afresh and the result is right.
        content = os.urandom(SIZE)
        url = Servers(self).limited_url("cut.bin", content)
        self.assertIsNone(self.run_download(url, 1.5 if WINDOWS else 0.6))
        partial = self.target + ".tmp_part"
        self.assertTrue(os.path.exists(partial), self.leftovers())
        with open(partial, "r+b") as f:
            f.truncate(SIZE // 2)
        self.assertEqual(self.run_download(url), 0)
        with open(self.target, "rb") as f:
            self.assertTrue(f.read() == content, "the file differs from the server's")
        self.assertEqual(self.leftovers(), [])


if __name__ == "__main__":
    unittest.main()
