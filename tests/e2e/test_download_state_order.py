"""The order of a download's writes, as the system calls show it: every state that replaces the
last one vouches only for bytes of the partial file that were put on the disk (fdatasync) before
it, so that a power cut, which takes what the page cache had not written, never leaves a state
that trusts a span of zeros. Linux only: the calls are traced with strace.

The trace is replayed as a power cut at any point would see the disk: the bytes of the partial
file are on it once a pwrite that wrote them had returned before a sync of the file began and
that sync has returned; a state counts once its rename has returned."""

import ast
import os
import re
import shutil
import subprocess
import tempfile
import unittest

from harness import WINDOWS, bin_path
from test_download_killed import Servers

SIZE = 40 * 1024 * 1024 + 5
CALL = re.compile(r"^(\d+) +(?:(\w+)\((.*?)(?: <unfinished \.\.\.>|\) += (-?\d+).*)"
                  r"|<\.\.\. (\w+) resumed>(.*?)\) += (-?\d+).*)$")
PATH = re.compile(r"^(\d+)<([^>]*)>")


def fd_path(argument):
    match = PATH.match(argument.strip())
    return match.group(2) if match else None


def string_argument(arguments):
    """The first C string of an argument list as strace prints it, and whether it was cut."""
    start = arguments.index('"')
    end = start + 1
    while arguments[end] != '"':
        end += 2 if arguments[end] == "\\" else 1
    text = ast.literal_eval("b" + arguments[start:end + 1]).decode("latin-1")
    return text, arguments[end + 1:end + 4] == "..."


class Replay:
    """What the disk held at each point of the trace, and the states that replaced each other."""

    def __init__(self, partial, fresh, state):
        self.partial, self.fresh, self.state = partial, fresh, state
        self.written = []     # ranges whose pwrite returned
        self.syncing = {}     # pid: ranges written when its sync of the partial file began
        self.on_disk = []     # ranges a returned sync covers
        self.pending = {}     # pid: the call it has begun, with its arguments
        self.fresh_text = ""  # what was written into the new state since it was opened
        self.states = []      # (state text, ranges on the disk when it replaced the last one)
        self.cut = 0

    def begin(self, pid, name, arguments):
        self.pending[pid] = (name, arguments)
        if name in ("fdatasync", "fsync") and fd_path(arguments) == self.partial:
            self.syncing[pid] = list(self.written)

    def end(self, pid, name, arguments, result):
        if name in self.pending.get(pid, ("",))[0:1]:
            arguments = self.pending.pop(pid)[1] + arguments
        if result < 0:
            return
        path = fd_path(arguments) if name not in ("rename", "renameat", "renameat2") else None
        if name == "pwrite64" and path == self.partial:
            length, offset = [int(x) for x in arguments.rsplit(",", 2)[1:]]
            self.written.append((offset, offset + result))
        elif name in ("fdatasync", "fsync") and path == self.partial:
            self.on_disk = self.syncing.pop(pid, self.on_disk)
        elif name == "openat" and arguments.count('"') >= 2 and \
                string_argument(arguments)[0] == self.fresh:
            self.fresh_text = ""
        elif name == "write" and path == self.fresh:
            text, cut = string_argument(arguments)
            self.fresh_text += text
            self.cut += cut
        elif name in ("rename", "renameat", "renameat2") and self.fresh in arguments and \
                self.state in arguments.split(self.fresh, 1)[1]:
            self.states.append((self.fresh_text, list(self.on_disk)))


def covered(ranges, start, end):
    """Whether [start, end) lies within the union of the ranges."""
    for first, last in sorted(ranges):
        if first > start:
            break
        start = max(start, last)
        if start >= end:
            return True
    return start >= end


def vouched_spans(text):
    spans = []
    for line in text.splitlines():
        fields = line.split()
        if fields and fields[0] == "piece":
            start, held = int(fields[2]), int(fields[4])
            spans.append((start, start + held))
    return spans


@unittest.skipIf(WINDOWS, "the system calls are traced on Linux")
class StateOrder(unittest.TestCase):
    def test_every_state_vouches_only_for_bytes_already_on_the_disk(self):
        if shutil.which("strace") is None:
            self.skipTest("strace is not installed")
        folder = tempfile.mkdtemp(prefix="pallaton-order-")
        self.addCleanup(shutil.rmtree, folder, True)
        content = os.urandom(SIZE)
        url = Servers(self).limited_url("order.bin", content)
        target = os.path.join(folder, "package.bin")
        trace = os.path.join(folder, "trace.txt")
        completed = subprocess.run(
            ["strace", "-f", "-qq", "-y", "-s", "8192", "-o", trace, "-e",
             "trace=openat,pwrite64,write,fdatasync,fsync,rename,renameat,renameat2",
             bin_path("http_download"), url, target, str(SIZE)],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
            # The leak checker cannot run under a tracer; the unit tests check for leaks.
            env=dict(os.environ, ASAN_OPTIONS="detect_leaks=0"), timeout=120)
        self.assertEqual(completed.returncode, 0)
        with open(target, "rb") as f:
            self.assertTrue(f.read() == content)

        replay = Replay(target + ".tmp_part", target + ".tmp_new", target + ".tmp_state")
        with open(trace, encoding="latin-1") as f:
            for line in f:
                match = CALL.match(line.rstrip("\n"))
                if not match:
                    continue
                pid = match.group(1)
                if match.group(2) and match.group(4) is None:
                    replay.begin(pid, match.group(2), match.group(3))
                elif match.group(2):
                    replay.begin(pid, match.group(2), match.group(3))
                    replay.end(pid, match.group(2), "", int(match.group(4)))
                else:
                    replay.end(pid, match.group(5), match.group(6), int(match.group(7)))
        # At 4 MiB/s a connection the pieces take two seconds: states are written meanwhile.
        self.assertGreaterEqual(len(replay.states), 2, "too few states to judge the order")
        self.assertEqual(replay.cut, 0, "a state was longer than the trace shows")
        for number, (text, on_disk) in enumerate(replay.states):
            spans = vouched_spans(text)
            self.assertTrue(spans, text)
            for start, end in spans:
                self.assertTrue(covered(on_disk, start, end),
                                "state %d vouches for %d-%d before it was on the disk"
                                % (number, start, end))


if __name__ == "__main__":
    unittest.main()
