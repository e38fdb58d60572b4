"""Install passes of a build that pins the installers' signers, as a maker ships it (Windows
only): the pinned signer's installer runs, every other file is refused with its reason and the
pass goes on. scripts/test builds such a program with the test signing key and a second pin."""

import os
import subprocess
import unittest

from harness import WINDOWS, Client, bin_path, command, host_env, md5_of, windows_path

PINNED = os.environ.get("PALLATON_PINS_SIGNERS", "0") == "1"
FIXTURES = os.environ.get("PALLATON_SIGNED_FIXTURES", "")
REFUSED = "Install package refused, signer:[%s], reason:[%s]"


def fixture(name):
    with open(os.path.join(FIXTURES, name), "rb") as f:
        return f.read()


def write_record(client, packages):
    """Writes the package files and a record naming them, in the order given; packages:
    (appid, file name, content)."""
    os.makedirs(client.download_folder, exist_ok=True)
    lines = []
    for appid, name, content in packages:
        path = os.path.join(client.download_folder, name)
        with open(path, "wb") as package:
            package.write(content)
        lines += ["[%s]" % appid, "package=%s" % windows_path(path), "md5=%s" % md5_of(content),
                  "ver=1.0.0.2"]
    lines += ["[info]", "appid=%s" % "|".join(appid for appid, _, _ in packages)]
    with open(client.record_file, "w", newline="\r\n") as record:
        record.write("\n".join(lines) + "\n")


def trust_test_root(test):
    """The signing test root in the machine's root store for the time of the test."""
    root = os.path.join(FIXTURES, "root.pem")
    tool = bin_path("machine_root.exe")

    def run(action):
        subprocess.run(command(tool, [action, windows_path(root)]), env=host_env(), check=True,
                       timeout=60, stdin=subprocess.DEVNULL, capture_output=True)

    run("add")
    test.addCleanup(run, "remove")


@unittest.skipUnless(WINDOWS and PINNED and FIXTURES,
                     "a Windows build that pins the installers' signers")
class SignedInstallPass(unittest.TestCase):
    def setUp(self):
        trust_test_root(self)
        self.client = Client(self)

    def run_pass(self, packages, env=None):
        write_record(self.client, packages)
        result = self.client.run("-action:silent_install", "-autorunning:false", env=env)
        self.assertEqual(result.code, 0, self.client.log_text())
        return self.client.log_lines()

    def refusals(self, lines):
        return [l for l in lines if l.startswith("Install package refused")]

    def test_only_the_pinned_signers_installer_runs_and_the_pass_goes_on(self):
        lines = self.run_pass([("101", "setup_101.exe", fixture("unsigned.exe")),
                               ("20", "setup_20.exe", fixture("other-key.exe")),
                               ("30", "setup_30.exe", fixture("good.exe"))])
        self.assertEqual([s[0] for s in self.client.wait_started(1)], ["setup_30.exe"])
        self.assertEqual(self.refusals(lines), [
            REFUSED % ("none", "not signed"),
            REFUSED % ("Someone Else", "signer key not pinned")])
        self.assertIn("Install package success.", lines)
        statistics = self.client.statistics()
        for appid in ("101", "20"):
            self.assertIn("event=2800268 category=50012 appid=%s pid=-1 kind=2 second=0" % appid,
                          statistics)

    def test_every_refusal_is_logged_with_its_own_reason_and_counted_and_the_pass_goes_on(self):
        refused = [("101", "setup_101.exe", "unsigned.exe"), ("102", "setup_102.exe", "tampered.exe"),
                   ("103", "setup_103.exe", "other-key.exe"),
                   ("104", "setup_104.exe", "other-root.exe"),
                   ("105", "setup_105.cmd", "good.exe"), ("106", "setup_106.exe", "padded.exe")]
        lines = self.run_pass([(appid, name, fixture(source)) for appid, name, source in refused] +
                              [("107", "setup_107.exe", fixture("good.exe"))])
        self.assertEqual([s[0] for s in self.client.wait_started(1)], ["setup_107.exe"])
        reasons = [l.rsplit("reason:[", 1)[1].rstrip("]") for l in self.refusals(lines)]
        self.assertEqual(len(reasons), len(refused), lines)
        self.assertEqual(len(set(reasons)), len(reasons), reasons)
        failed = [l for l in self.client.statistics() if l.startswith("event=2800268 ")]
        self.assertEqual(sorted(l.split()[2] for l in failed),
                         ["appid=%s" % appid for appid, _, _ in refused])
        # Every refused file is gone, and nothing of the started installer is left.
        self.assertEqual(os.listdir(self.client.download_folder), [])

    def test_a_signed_program_named_as_a_script_or_with_a_padded_table_is_refused(self):
        lines = self.run_pass([("101", "setup_101.cmd", fixture("good.exe")),
                               ("102", "setup_102.exe", fixture("padded.exe")),
                               ("103", "setup_103.exe", fixture("good.exe"))])
        self.assertEqual([s[0] for s in self.client.wait_started(1)], ["setup_103.exe"])
        signer = "Korvane Test Signer"
        self.assertEqual(self.refusals(lines), [
            REFUSED % (signer, "not named as a program (.exe)"),
            REFUSED % (signer, "certificate table longer than its signatures")])

    def test_a_library_planted_beside_the_installer_is_never_loaded_nor_left_behind(self):
        # The answer named a library of the loader's search as a package; the loader is told to
        # prefer a library in the program's folder to its own, as Windows does for most names.
        marker = os.path.join(self.client.root, "planted-library-loaded")
        with open(bin_path("planted_library.dll"), "rb") as f:
            planted = f.read()
        lines = self.run_pass([("1", "version.dll", planted),
                               ("2", "setup_2.exe", fixture("good.exe"))],
                              env={"WINEDLLOVERRIDES": "version=n,b",
                                   "PALLATON_PLANTED_MARKER": windows_path(marker)})
        self.assertEqual([s[0] for s in self.client.wait_started(1)], ["setup_2.exe"])
        self.assertIn("Install package success.", lines)
        self.assertEqual(self.refusals(lines), [REFUSED % ("none", "not signed")])
        self.assertFalse(os.path.exists(marker), "the planted library was loaded")
        # The refused file is deleted, the installer's own folder removed after it ended.
        self.assertEqual(os.listdir(self.client.download_folder), [])


if __name__ == "__main__":
    unittest.main()
