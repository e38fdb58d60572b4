"""Whole update runs of the real program against the local update service: the request, the
five-piece downloads, the package record, the installers, the relaunch and the exit code."""

import os
import shutil
import subprocess
import time
import unittest

from harness import (CLIENT_KEY, WINDOWS, Client, UpdateService, answer, command, exit_code,
                     fixture_bytes, package_entry, program_path)


class UpdateRun(unittest.TestCase):
    def setUp(self):
        self.client = Client(self)
        self.service = UpdateService(os.path.join(self.client.root, "service"))
        self.service.start()
        self.addCleanup(self.service.stop)

    def service_requests(self, prefix):
        return [r for r in self.service.requests() if r[1].startswith(prefix)]

    def test_newbin_check_downloads_both_packages_in_pieces_and_installs_them_in_key_order(self):
        app = package_entry(self.service, "101", fixture_bytes(0, tag="app") * 2)
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
        # The request, the answer and each download, line by line.
        body = answer(app=[app], bin_entry=client_package)
        self.assertIn("CheckIfHasPackageUpdate:url=" + self.service.base_url +
                      "/wan/box/Version/WDVersionUpdate.php?version=1.0.0.1&uin=7"
                      "&apps=101_1.0.0.1", lines)
        self.assertIn("Update Request:[http code:200], [result:%s]" % body, lines)
        self.assertIn("Start Download update packages", lines)
        for entry in (client_package, app):
            local = program_path(self.client.download_folder, entry["file_name"])
            self.assertIn("DownloadUpdatePackage:url=" + entry["url"], lines)
            self.assertIn("Download package: succeed, FileName:[%s]" % local, lines)
            self.assertEqual(lines.count("md5:" + entry["md5"]), 1, entry["file_name"])
        for thread in range(5):
            self.assertEqual(lines.count("download thread %d start" % thread), 2)
        for entry in (client_package, app):
            size = entry.get("file_size")
            q = size // 5
            pieces = [q + 1, q, q, q, size - 4 * q - 1]
            for index, piece in enumerate(pieces):
                self.assertIn("thread %d download 1 try perform, CURLcode:0, filesize:%d"
                              % (index, piece), lines)
            self.assertIn("Download file total size:%.2f, had download :%.2f" % (size, size),
                          lines)
        self.assertEqual(sum(1 for l in lines
                             if l.endswith(" download 1 try perform success, HttpCode=206")), 10)
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

    def test_the_answer_is_cut_to_its_outer_braces(self):
        app = package_entry(self.service, "101", fixture_bytes(0, tag="braces"))
        self.service.set_answer("version", "<pre>" + answer(app=[app]) + "</pre>\n")
        self.assertEqual(self.client.run("-action:newbin_check", "-autorunning:false").code, 0)
        self.assertEqual([s[0] for s in self.client.wait_started(1)], ["setup_101.exe"])

    def test_an_answer_without_braces_or_a_404_page_means_no_update(self):
        self.service.set_answer("version", "ret=0, no object here")
        self.assertEqual(self.client.run("-action:newbin_check").code, 1)
        self.assertEqual(self.client.wait_started(1), [("Launch.exe", "-/appid:101 -fromupdate")])
        self.assertIn("Update Request:[http code:200], [result:ret=0, no object here]",
                      self.client.log_lines())

        other = Client(self)
        os.remove(os.path.join(self.service.state, "answers", "version.json"))
        self.assertEqual(other.run("-action:newbin_check").code, 1)
        self.assertEqual(other.wait_started(1), [("Launch.exe", "-/appid:101 -fromupdate")])
        self.assertTrue(any(l.startswith("Update Request:[http code:404], [result:<html>")
                            for l in other.log_lines()), other.log_text())

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
        # The pieces of the missing file fail their length check; the single stream then tries
        # twice and fails on the error page.
        lines = self.client.log_lines()
        for attempt in (0, 1):
            self.assertIn("CHttpDlCommand::the %d try begin." % attempt, lines)
            refused = "CHttpDlCommand: stream try %d refused, HttpCode=404, " % attempt
            self.assertTrue(any(l.startswith(refused) for l in lines), lines)
        self.assertIn("Download package: failed, FileName:[%s]" % program_path(
            self.client.download_folder, missing["file_name"]), lines)
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

    def test_a_package_downloaded_by_an_earlier_run_is_installed_without_a_transfer(self):
        content = fixture_bytes(0, tag="present")
        app = package_entry(self.service, "101", content)
        self.service.set_answer("version", answer(app=[app]))
        os.makedirs(self.client.download_folder, exist_ok=True)
        local = os.path.join(self.client.download_folder, app["file_name"])
        # The same size with another digest is fetched again; the right file is not.
        wrong = bytes(b ^ 1 for b in content[:16]) + content[16:]
        for kept, fetched in ((content, False), (wrong, True)):
            with open(local, "wb") as f:
                f.write(kept)
            before = len(self.service_requests("/packages/"))
            reported = len(self.client.statistics())
            result = self.client.run("-action:newbin_check", "-appid:101")
            self.assertEqual(result.code, 0, self.client.log_text())
            gets = self.service_requests("/packages/")[before:]
            self.assertEqual(len(gets), 5 if fetched else 0, gets)
            lines = self.client.log_lines()
            path = program_path(self.client.download_folder, app["file_name"])
            present = "Package already present, not downloaded again:[%s]" % path
            self.assertEqual(present in lines, not fetched)
            # A package that is there is not reported as downloaded.
            self.assertEqual("Download package: succeed, FileName:[%s]" % path in lines, fetched)
            statistics = self.client.statistics()[reported:]
            for event in ("2800265", "2800276"):
                self.assertEqual(any(s.startswith("event=%s " % event) for s in statistics),
                                 fetched, statistics)
            self.assertIn("Install package success.", lines)
            self.client.clear_log()

    def test_a_record_that_cannot_be_written_is_logged_once(self):
        # Two packages, so that the record would take several writes.
        apps = [package_entry(self.service, app_id, fixture_bytes(0, tag="unwritable" + app_id))
                for app_id in ("101", "205")]
        self.service.set_answer("version", answer(app=apps))
        os.makedirs(self.client.record_file)
        # The install pass finds nothing recorded and the run ends as a run without packages.
        result = self.client.run("-action:newbin_check", "-appid:101")
        self.assertEqual(result.code, 1, self.client.log_text())
        record = program_path(self.client.download_folder, "Pallaton_ResourceUpdate.ini")
        self.assertEqual(self.client.log_lines().count("Write package record failed:[%s]" % record),
                         1, self.client.log_text())
        self.assertEqual([s for s in self.client.started() if s[0].startswith("setup")], [])


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
        self.assertIsNone(self.client.registry.query(CLIENT_KEY, "Exe"))
        self.assertIsNone(self.client.registry.query(CLIENT_KEY, "LaunchPath"))

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

    def test_a_wrong_file_size_with_the_right_digest_installs(self):
        # The server's length governs and the digest judges: the package installs either way.
        for delta in (-1000, 1000):
            content = fixture_bytes(0, tag="size%d" % delta)
            app = dict(package_entry(self.service, "101", content), file_size=len(content) + delta)
            self.service.set_answer("version", answer(app=[app]))
            client = Client(self)
            result = client.run("-action:newbin_check", "-autorunning:false")
            self.assertEqual(result.code, 0, client.log_text())
            self.assertEqual([s[0] for s in client.wait_started(1)], ["setup_101.exe"])
            self.assertIn("Download file: the server announces %d bytes, the answer %d"
                          % (len(content), len(content) + delta), client.log_lines())
            self.assertIn("Install package success.", client.log_lines())

    def test_a_pid_with_a_blank_reaches_the_installer_as_one_argument(self):
        full = package_entry(self.service, "101", fixture_bytes(0, tag="full"),
                             section="fullpackage")
        self.service.set_answer("fullpackage", answer(full=full))
        client = Client(self, version="1.0.0.0")
        client.run("-action:force_download", "-appid:101", '-pid:42 /S',
                   "-bin_version:2.0.0.0", '-silent', '-loginuin:7 "x"', "-autorunning:false")
        client.wait_started(1)
        self.assertEqual(client.started_argv()[0],
                         ("setup_101.exe", ['/PID=42 /S', '-loginuin:7 "x"']))

    def test_installer_parameters_follow_the_login_and_the_plugin_option(self):
        full = package_entry(self.service, "101", fixture_bytes(0, tag="full"),
                             section="fullpackage")
        self.service.set_answer("fullpackage", answer(full=full))
        client = Client(self, version="1.0.0.0")
        client.run("-action:force_download", "-appid:101", "-pid:42", "-bin_version:2.0.0.0",
                   "-silent", "-loginuin:0", "-autorunning:false")
        self.assertEqual(client.wait_started(1), [("setup_101.exe", "/PID=42")])
        client = Client(self, version="1.0.0.0")
        client.run("-action:force_download", "-appid:101", "-pid:42", "-bin_version:2.0.0.0",
                   "-silent", "-loginuin:77", "-startup_from_plugin")
        self.assertEqual(client.wait_started(2), [
            ("setup_101.exe", "/PID=42 -startup_from_plugin -loginuin:77"),
            ("Launch.exe", "-/appid:101 -fromupdate -startup_from_plugin -loginuin:77")])

    def test_an_installer_that_cannot_start_is_reported_with_the_pid(self):
        broken = b"not a program at all\n" * 10
        full = package_entry(self.service, "101", broken, section="fullpackage")
        self.service.set_answer("fullpackage", answer(full=full))
        client = Client(self, version="1.0.0.0")
        client.run("-action:force_download", "-appid:101", "-pid:42", "-bin_version:2.0.0.0",
                   "-silent", "-autorunning:false")
        self.assertIn("event=2800235 category=50012 appid=101 pid=42 kind=2 second=0",
                      client.statistics())

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

    @unittest.skipIf(WINDOWS or not shutil.which("Xvfb") or not shutil.which("xdotool"),
                     "message boxes on an X display of the Linux build")
    def test_a_message_box_left_open_does_not_keep_the_run_waiting(self):
        first = package_entry(self.service, "101", fixture_bytes(0, tag="a"))
        second = package_entry(self.service, "205", fixture_bytes(0, tag="b"))
        for entry in (first, second):
            entry["url"] = self.service.base_url + "/packages/absent_%s.exe" % entry["id"]
        self.service.set_answer("fullpackage", answer(app=[first, second]))
        client = Client(self, version="1.0.0.0")
        read_end, write_end = os.pipe()
        xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(write_end), "-nolisten", "tcp"],
                                pass_fds=(write_end,), stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL)
        os.close(write_end)
        self.addCleanup(xvfb.wait, 30)
        self.addCleanup(xvfb.kill)
        with os.fdopen(read_end) as numbers:
            display = ":" + numbers.readline().strip()
        x_env = dict(os.environ, DISPLAY=display)
        updater = subprocess.Popen(
            command(client.updater, ["-action:force_download", "-appid:101", "-pid:42",
                                     "-bin_version:2.0.0.0"]),
            # Each closed box leaves cairo's cache of its X connection behind, which the leak
            # checker of the sanitizer build reports at exit; the exit code is what counts here.
            env=client.env({"DISPLAY": display, "ASAN_OPTIONS": "detect_leaks=0"}),
            stdin=subprocess.DEVNULL,
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.addCleanup(updater.kill)
        boxes = []
        deadline = time.monotonic() + 60
        while len(boxes) < 2 and time.monotonic() < deadline and updater.poll() is None:
            time.sleep(0.2)
            boxes = subprocess.run(["xdotool", "search", "--name", "Korvane"], env=x_env,
                                   capture_output=True, text=True).stdout.split()
        self.assertEqual(len(boxes), 2, "both failures show a box")
        # A person clicks OK on the box on top (both stand at the same place); the other is left
        # open.
        subprocess.run(["xdotool", "mousemove", "--window", boxes[0], "320", "118", "click", "1"],
                       env=x_env, check=True, timeout=30)
        closed = time.monotonic()
        self.assertEqual(exit_code(updater.wait(30)), -1)
        self.assertLess(time.monotonic() - closed, 5)

    def test_query_values_are_percent_encoded(self):
        client = Client(self, version="1.0.0.0")
        client.run("-action:force_download", "-appid:1 0&x#", "-pid:4+2%",
                   "-bin_version:2.0.0.0", "-silent")
        self.assertEqual(self.service.requests()[0][1],
                         "/wan/box/OtherServer/GetPackagePath4WDNew.php?appid=1%200%26x%23"
                         "&pid=4%2B2%25&binversion=2.0.0.0")


if __name__ == "__main__":
    unittest.main()
