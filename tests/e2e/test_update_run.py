"""Whole update runs of the real program against the local update service: the request, the
five-piece downloads, the package record, the installers, the relaunch and the exit code."""

import os
import subprocess
import time
import unittest

from harness import (CLIENT_KEY, WINDOWS, Client, UpdateService, answer, command, fixture_bytes,
                     package_entry)


class UpdateRun(unittest.TestCase):
    def setUp(self):
        self.client = Client(self)
        self.service = UpdateService(os.path.join(self.client.root, "service"))
        self.service.start()
        self.addCleanup(self.service.stop)

    def service_requests(self, prefix):
        return [r for r in self.service.requests() if r[1].startswith(prefix)]

    def test_newbin_check_downloads_both_packages_in_pieces_and_installs_them_in_key_order(self):
        app = package_entry(self.service, "101", fixture_bytes(0, tag="app") * 3)
        client_package = package_entry(self.service, "1000", fixture_bytes(0, tag="bin"),
                                       section="bin")
        self.service.set_answer("version", answer(app=[app], bin_entry=client_package))

        result = self.client.run("-action:newbin_check", "-appid:101", "-pid:42", "-uin:7")
        self.assertEqual(result.code, 0, self.client.log_text())

        version_requests = self.service_requests("/wan/box/Version/WDVersionUpdate.php")
        self.assertEqual([r[1] for r in version_requests],
                         ["/wan/box/Version/WDVersionUpdate.php?version=1.0.0.1&uin=7"
                          "&apps=101_1.0.0.1"])
        for name in ("setup_101.exe", "setup_1000.exe"):
            pieces = [r for r in self.service_requests("/packages/" + name) if r[3]]
            self.assertEqual(len(pieces), 5, self.service.requests())
            self.assertTrue(all(r[2] == "206" for r in pieces))

        started = self.client.wait_started(3)
        # "1000" sorts before "101"; both without a pid parameter, then the relaunch.
        self.assertEqual([s[0] for s in started[:2]], ["setup_1000.exe", "setup_101.exe"])
        self.assertEqual(started[2], ("Launch.exe", "-/appid:101 -fromupdate"))
        self.assertFalse(os.path.exists(self.client.record_file))
        lines = self.client.log_lines()
        self.assertEqual(lines.count("Install package success."), 2)
        self.assertIn("event=2800265 category=50010 appid=101 pid=-1 kind=2 second=0",
                      self.client.statistics())
        self.assertIn("event=2800276 category=50010 appid=1000 pid=-1 kind=2 second=0",
                      self.client.statistics())
        self.assertIn("event=2800267 category=50010 appid=101 pid=-1 kind=2 second=0",
                      self.client.statistics())

    def test_no_package_relaunches_the_last_game_unless_autorunning_is_false(self):
        self.service.set_answer("version", answer())
        self.assertEqual(self.client.run("-action:newbin_check", "-loginuin:0").code, 1)
        self.assertEqual(self.client.wait_started(1),
                         [("Launch.exe", "-/appid:101 -fromupdate -loginuin:0")])
        self.assertIn("CCheckUpdate::LaunchLastRunGame by newbin check,para="
                      "-/appid:101 -fromupdate -loginuin:0", self.client.log_lines())

        other = Client(self)
        self.assertEqual(other.run("-action:newbin_check", "-autorunning:false").code, 1)
        time.sleep(1)
        self.assertEqual(other.started(), [])

    def test_check_without_installed_version_sends_nothing(self):
        client = Client(self, version=None)
        self.assertEqual(client.run("-action:check").code, 1)
        self.assertEqual(self.service.requests(), [])
        self.assertIn("ExitAllThread Function Call", client.log_lines())

    def test_failed_download_writes_no_record_and_reports_the_failure(self):
        good = package_entry(self.service, "101", fixture_bytes(0, tag="good"))
        missing = dict(package_entry(self.service, "205", fixture_bytes(0, tag="gone")))
        missing["url"] = self.service.base_url + "/packages/absent.exe"
        self.service.set_answer("version", answer(app=[good, missing]))
        self.assertEqual(self.client.run("-action:check").code, 1)
        self.assertFalse(os.path.exists(self.client.record_file))
        self.assertIn("event=2800266 category=50012 appid=205 pid=-1 kind=2 second=0",
                      self.client.statistics())
        self.assertEqual([s for s in self.client.started() if s[0].startswith("setup")], [])

    @unittest.skipIf(WINDOWS, "Linux paths are bytes")
    def test_data_folder_whose_path_is_not_utf8_keeps_the_packages_there(self):
        # A Latin-1 home ("h\xe9") and the shared /tmp as TMPDIR: the package must go to the
        # user's own data folder, never to /tmp.
        name = "setup_latin1_%d.exe" % os.getpid()
        app = package_entry(self.service, "101", fixture_bytes(0, tag="latin1"), file_name=name)
        self.service.set_answer("version", answer(app=[app]))
        home = os.path.join(self.client.root, "h\udce9")
        os.makedirs(home)
        env = self.client.env({"HOME": home, "XDG_DATA_HOME": "", "TMPDIR": "/tmp"})
        completed = subprocess.run(command(self.client.updater, ["-action:check"]), env=env,
                                   capture_output=True, timeout=120, stdin=subprocess.DEVNULL)
        self.assertEqual(completed.returncode, 0, self.client.log_text())
        self.assertEqual([s[0] for s in self.client.wait_started(1)][:1], [name])
        folder = os.path.join(home, ".local", "share", "Korvane", "PLTNDownload")
        self.assertTrue(os.path.isdir(folder))
        self.assertFalse(os.path.exists(os.path.join("/tmp", name)))
        # The log shows the bytes that do not decode as replacement characters.
        self.assertIn("Package path:" + os.path.join(folder, name).replace("\udce9", "\ufffd"),
                      self.client.log_lines())

    def test_an_answer_byte_that_does_not_decode_keeps_the_logged_body(self):
        body = b'{"ret":0,"note":"a\xffb"}'
        with open(os.path.join(self.service.state, "answers", "version.json"), "wb") as out:
            out.write(body)
        self.assertEqual(self.client.run("-action:check").code, 1)
        lines = [l for l in self.client.log_lines() if l.startswith("Update Request:")]
        self.assertEqual(len(lines), 1, self.client.log_text())
        self.assertTrue(lines[0].startswith('Update Request:[http code:200], [result:{"ret":0,'
                                            '"note":"a'), lines[0])
        if not WINDOWS:
            self.assertEqual(lines[0], 'Update Request:[http code:200], '
                                       '[result:{"ret":0,"note":"a\ufffdb"}]')

    def test_check_while_the_client_runs_defers_the_install(self):
        app = package_entry(self.service, "101", fixture_bytes(0, tag="deferred"))
        self.service.set_answer("version", answer(app=[app]))
        main_program = os.path.join(self.client.program_folder, "Pallaton.exe")
        client_process = subprocess.Popen(command(main_program, []), env=self.client.env(),
                                          stdin=subprocess.DEVNULL)
        try:
            self.client.wait_started(1)
            self.assertEqual(self.client.run("-action:check").code, 1)
        finally:
            client_process.kill()
            client_process.wait()
        self.assertIn("App process running, update package next time.",
                      self.client.log_lines())
        self.assertTrue(os.path.exists(self.client.record_file))
        self.assertEqual([s for s in self.client.started() if s[0].startswith("setup")], [])
        self.assertEqual(self.client.registry.query(CLIENT_KEY, "UpdateFlag"), "dword:00000001")


class ForceDownload(unittest.TestCase):
    def setUp(self):
        self.client = Client(self)
        self.service = UpdateService(os.path.join(self.client.root, "service"))
        self.service.start()
        self.addCleanup(self.service.stop)

    def test_request_urls(self):
        cases = [
            # (bin_version, installed version, expected request)
            ("2.0.0.0", "1.9.9.9", "/wan/box/OtherServer/GetPackagePath4WDNew.php?appid=101"
                                   "&pid=42&binversion=2.0.0.0"),
            ("1.9.9.9", "2.0.0.0", "/wan/box/Version/WDVersionUpdate.php?version=2.0.0.0"
                                   "&uin=346668791&apps=101_0.0.0.0"),
            ("2.0.0.0", "2.0.0.0", "/wan/box/Version/WDVersionUpdate.php?version=2.0.0.0"
                                   "&uin=346668791&apps=101_0.0.0.0"),
        ]
        for bin_version, installed, expected in cases:
            with self.subTest(bin_version=bin_version, installed=installed):
                client = Client(self, version=installed)
                service_log_before = len(self.service.requests())
                result = client.run("-action:force_download", "-appid:101", "-pid:42",
                                    "-bin_version:" + bin_version, "-silent")
                self.assertEqual(result.code, -1, result.stderr[-3000:])
                self.assertEqual(self.service.requests()[service_log_before][1], expected)

    def test_incomplete_client_asks_for_the_full_package_and_loses_its_key(self):
        os.remove(os.path.join(self.client.program_folder, "PallatonTray.exe"))
        self.client.run("-action:force_download", "-appid:101", "-pid:42",
                        "-bin_version:1.0.0.0", "-silent")
        self.assertTrue(self.service.requests()[0][1].startswith(
            "/wan/box/OtherServer/GetPackagePath4WDNew.php?appid=101&pid=42"))

    def test_successful_forced_download_installs_and_ends_with_zero(self):
        full = package_entry(self.service, "101", fixture_bytes(0, tag="full"),
                             section="fullpackage")
        self.service.set_answer("fullpackage", answer(full=full))
        client = Client(self, version="1.0.0.0")
        result = client.run("-action:force_download", "-appid:101", "-pid:42",
                            "-bin_version:2.0.0.0", "-silent", "-loginuin:77")
        self.assertEqual(result.code, 0, client.log_text())
        started = client.wait_started(2)
        self.assertEqual(started[0], ("setup_101.exe", "/PID=42 -loginuin:77"))
        self.assertEqual(started[1], ("Launch.exe", "-/appid:101 -fromupdate -loginuin:77"))
        events = [" ".join(line.split()[0:1] + line.split()[2:4]) for line in client.statistics()]
        self.assertEqual(events, [
            "event=2800230 appid=101 pid=42", "event=2800231 appid=101 pid=42",
            "event=2800272 appid=101 pid=42", "event=2800232 appid=101 pid=42",
            "event=2800234 appid=101 pid=42", "shutdown"])

    def test_failed_forced_download_reports_it_with_the_pid(self):
        full = package_entry(self.service, "101", fixture_bytes(0, tag="full"),
                             section="fullpackage")
        full["url"] = self.service.base_url + "/packages/absent.exe"
        self.service.set_answer("fullpackage", answer(full=full))
        client = Client(self, version="1.0.0.0")
        result = client.run("-action:force_download", "-appid:101", "-pid:42",
                            "-bin_version:2.0.0.0", "-silent")
        self.assertEqual(result.code, -1)
        self.assertIn("event=2800233 category=50012 appid=101 pid=42 kind=2 second=0",
                      client.statistics())
        self.assertFalse(os.path.exists(client.record_file))

    def test_failure_without_silent_shows_the_message_box(self):
        caption = "Korvane\u5fae\u7aef"
        self.service.stop()  # the request fails: nothing listens
        closer = None
        if WINDOWS:
            closer = self.client.start_tool("dialog_closer", "Korvane", "60")
        result = self.client.run("-action:force_download", "-appid:101", "-pid:42",
                                 "-bin_version:2.0.0.0")
        self.assertEqual(result.code, -1)
        self.assertIn("Update request failed.", self.client.log_lines())
        if closer is not None:
            self.assertEqual(closer.stdout.readline().strip(), "closed")
            closer.wait(30)
        else:
            # Without a display the box's text goes to standard error.
            self.assertIn(caption + ": \u975e\u5e38\u62b1\u6b49", result.stderr)

    def test_query_values_are_percent_encoded(self):
        client = Client(self, version="1.0.0.0")
        client.run("-action:force_download", "-appid:1 0&x#", "-pid:4+2%",
                   "-bin_version:2.0.0.0", "-silent")
        self.assertEqual(self.service.requests()[0][1],
                         "/wan/box/OtherServer/GetPackagePath4WDNew.php?appid=1%200%26x%23"
                         "&pid=4%2B2%25&binversion=2.0.0.0")


if __name__ == "__main__":
    unittest.main()
