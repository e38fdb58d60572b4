"""Install passes of the real program from a package record: verification, installers in key
order with their exit codes, the 20-second wait, the install mutex, and the relaunch."""

import os
import subprocess
import time
import unittest

from harness import CLIENT_KEY, WINDOWS, Client, command, fixture_bytes, md5_of, windows_path


def write_record(client, packages, appid_list):
    """Writes the package files and a record naming them; packages: appid -> (content, md5)."""
    os.makedirs(client.download_folder, exist_ok=True)
    lines = []
    for appid, (content, digest) in packages.items():
        path = os.path.join(client.download_folder, "setup_%s.exe" % appid)
        with open(path, "wb") as package:
            package.write(content)
        lines += ["[%s]" % appid, "package=%s" % package_path(client, path),
                  "md5=%s" % digest, "ver=1.0.0.2"]
    lines += ["[info]", "appid=%s" % appid_list]
    with open(client.record_file, "w", newline="\r\n") as record:
        record.write("\n".join(lines) + "\n")


def package_path(client, path):
    """The package's path as the record names it (under Wine, below Z:)."""
    return windows_path(path)


def package(exit_code=0, seconds=0, tag=""):
    content = fixture_bytes(exit_code, seconds, tag)
    return content, md5_of(content)


def probe_install_mutex(client):
    """What a short-lived holder of the install pass's mutex found: "held" (it created it) or
    "existed"."""
    probe = client.start_tool("mutex_holder", "PallatonUpdateMutexInstall", "5")
    answer = probe.stdout.readline().strip()
    probe.stdin.close()
    probe.wait(30)
    return answer


class InstallPass(unittest.TestCase):
    def test_verified_packages_run_in_key_order_and_the_client_comes_back(self):
        client = Client(self)
        bad_content, _ = package(tag="205")
        write_record(client, {
            "101": package(3, tag="101"),
            "20": package(0, tag="20"),
            "205": (bad_content, "0" * 32),
            "30": (package(tag="30")[0], package(tag="30")[1].upper()),
        }, "101|205||20|101|30|")
        result = client.run("-action:install")
        self.assertEqual(result.code, 0, client.log_text())
        started = client.wait_started(4)
        # Keys compare as text: "101" < "20" < "30"; 205 fails its check.
        self.assertEqual([s[0] for s in started],
                         ["setup_101.exe", "setup_20.exe", "setup_30.exe", "Launch.exe"])
        self.assertEqual(started[3][1], "-/appid:101 -fromupdate")
        lines = client.log_lines()
        self.assertEqual([l for l in lines if l.startswith("MD5 check failed")],
                         ["MD5 check failed:[File:%s]" % package_path(
                             client, os.path.join(client.download_folder, "setup_205.exe"))])
        self.assertIn("Install package process:[%s], [param:(null)]" % package_path(
            client, os.path.join(client.download_folder, "setup_20.exe")), lines)
        # 101 exits with 3, the others with 0.
        self.assertEqual([l for l in lines if l.startswith("Install package ")
                          and not l.startswith("Install package process")],
                         ["Install package failed.exitcode=3", "Install package success.",
                          "Install package success."])
        self.assertFalse(os.path.exists(client.record_file))
        self.assertEqual(client.statistics().count(
            "event=2800267 category=50010 appid=20 pid=-1 kind=2 second=0"), 1)

    def test_a_long_appid_list_is_read_whole(self):
        # 1,500 characters of ids without packages before the one that has a package: a list
        # cut at 1,023 characters would lose it together with the deleted record.
        client = Client(self)
        filler = "|".join(str(90000 + i) for i in range(250))
        write_record(client, {"101": package(0, tag="last")}, filler + "|101")
        self.assertEqual(client.run("-action:silent_install", "-autorunning:false").code, 0,
                         client.log_text())
        self.assertEqual([s[0] for s in client.wait_started(1)], ["setup_101.exe"])
        self.assertFalse(os.path.exists(client.record_file))

    def test_exit_status_stays_one_when_no_installer_exits_with_zero(self):
        client = Client(self)
        write_record(client, {"101": package(4, tag="a")}, "101")
        self.assertEqual(client.run("-action:silent_install", "-autorunning:false").code, 1)
        self.assertEqual([s[0] for s in client.wait_started(1)], ["setup_101.exe"])
        time.sleep(0.5)
        self.assertEqual(len(client.started()), 1)  # autorunning false: no relaunch

    def test_a_package_that_cannot_start_is_reported_and_the_pass_goes_on(self):
        client = Client(self)
        broken = b"not a program at all\n" * 10
        write_record(client, {"101": (broken, md5_of(broken)), "20": package(0, tag="ok")},
                     "101|20")
        self.assertEqual(client.run("-action:silent_install", "-autorunning:false").code, 0)
        self.assertTrue(any(l.startswith("Install package error.err=")
                            for l in client.log_lines()), client.log_text())
        self.assertIn("event=2800268 category=50012 appid=101 pid=-1 kind=2 second=0",
                      client.statistics())
        self.assertEqual([s[0] for s in client.wait_started(1)], ["setup_20.exe"])

    def test_every_one_of_seventy_packages_is_handled(self):
        client = Client(self)
        packages = {}
        for appid in range(1, 71):
            content = b"package %d, not a program\n" % appid
            packages[str(appid)] = (content, md5_of(content))
        write_record(client, packages, "|".join(packages))
        client.run("-action:silent_install", "-autorunning:false")
        handled = [l for l in client.log_lines() if l.startswith("Install package process:")]
        self.assertEqual(len(handled), 70, client.log_text()[-2000:])
        self.assertEqual(sum(1 for line in client.statistics()
                             if line.startswith("event=2800268 ")), 70)

    def test_without_a_record_the_pass_still_relaunches(self):
        client = Client(self)
        self.assertEqual(client.run("-action:install").code, 1)
        self.assertEqual(client.wait_started(1), [("Launch.exe", "-/appid:101 -fromupdate")])

    def test_slow_installer_is_left_after_twenty_seconds_and_the_next_one_runs(self):
        client = Client(self)
        write_record(client, {"101": package(0, 30, tag="slow"), "20": package(0, tag="next")},
                     "101|20")
        started = time.monotonic()
        result = client.run("-action:silent_install", "-autorunning:false", timeout=120)
        elapsed = time.monotonic() - started
        self.assertEqual(result.code, 0)
        self.assertGreater(elapsed, 20)
        if not WINDOWS:
            # Under Wine the left installer keeps the captured output open until it ends.
            self.assertLess(elapsed, 28)
        self.assertEqual([s[0] for s in client.started()], ["setup_101.exe", "setup_20.exe"])
        wait_line = ("Wait to Install package err.err=258, szFilePath=%s." % package_path(
            client, os.path.join(client.download_folder, "setup_101.exe")))
        self.assertIn(wait_line, client.log_lines())

    def test_install_mutex_is_held_during_the_pass_and_a_new_updater_may_start(self):
        client = Client(self)
        write_record(client, {"101": package(0, 4, tag="busy")}, "101")
        import subprocess
        from harness import command
        updater = subprocess.Popen(command(client.updater, ["-action:silent_install",
                                                            "-autorunning:false"]),
                                   env=client.env(), stdin=subprocess.DEVNULL)
        try:
            client.wait_started(1)
            self.assertEqual(probe_install_mutex(client), "existed")
            # The pass gave up the update mutex: another updater of the same user and
            # installation runs meanwhile.
            other_result = client.run("-foo")
            self.assertEqual(other_result.code, 1)
        finally:
            self.assertEqual(updater.wait(60), 0)
        self.assertEqual(probe_install_mutex(client), "held")

    def test_an_opened_install_mutex_exists_until_the_pass_ends_after_its_creator_left(self):
        client = Client(self)
        write_record(client, {"101": package(0, 4, tag="busy")}, "101")
        holder = client.start_tool("mutex_holder", "PallatonUpdateMutexInstall", "60")
        self.assertEqual(holder.stdout.readline().strip(), "held")
        import subprocess
        from harness import command
        updater = subprocess.Popen(command(client.updater, ["-action:silent_install",
                                                            "-autorunning:false"]),
                                   env=client.env(), stdin=subprocess.DEVNULL)
        try:
            client.wait_started(1)
            holder.stdin.close()
            holder.wait(30)
            # The pass opened the name while the holder had it: it keeps it in existence.
            self.assertEqual(probe_install_mutex(client), "existed")
        finally:
            self.assertEqual(updater.wait(60), 0)
        self.assertEqual(probe_install_mutex(client), "held")


class Relaunch(unittest.TestCase):
    PLATFORM_OPTIONS = ["-startupbyvyn", "-appid:101", "-uin:7", "-sig:s9", "-nickname:a b",
                        "-url:u1", "-temppid:9", "-adparam:ad", "-vyn_hwnd:h2",
                        "-pipename:p3", "-svrid:4"]

    def test_platform_form_after_an_install(self):
        client = Client(self)
        client.run("-action:install", *self.PLATFORM_OPTIONS)
        params = ('-startupbyvyn -/appid:101 -uin:7 -sig:s9 "-nickname:a b" -fromupdate'
                  ' -adparam:ad -url:u1 -temppid:9 -vyn_hwnd:h2 -pipename:p3 -svrid:4')
        self.assertEqual(client.wait_started(1), [("Launch.exe", params)])
        # Written through the installer's own log, without prefix, as a line of its own.
        self.assertIn("\nCUpdatePackageInstall::LaunchLastRunApp:para=" + params + "\n",
                      "\n" + client.log_text())

    def test_platform_form_after_a_check_without_package(self):
        from harness import UpdateService, answer
        client = Client(self)
        service = UpdateService(os.path.join(client.root, "service"))
        service.set_answer("version", answer())
        with service:
            client.run("-action:newbin_check", *self.PLATFORM_OPTIONS)
        params = ('-startupbyvyn -/appid:101 -uin:7 -sig:s9 "-nickname:a b" -fromupdate'
                  ' -temppid:9 -adparam:ad -vyn_hwnd:h2 -pipename:p3 -svrid:4')
        self.assertEqual(client.wait_started(1), [("Launch.exe", params)])

    def test_values_with_blanks_and_quotes_reach_the_launcher_as_one_argument_each(self):
        client = Client(self)
        client.run("-action:install", "-startupbyvyn", "-appid:101", "-uin:7", "-sig:s9",
                   "-nickname:x", "-url:u1 -appid:666 -evil", '-svrid:say "hi"\tnow\\',
                   "-temppid:")
        started = client.wait_started(1)
        self.assertEqual([s[0] for s in started], ["Launch.exe"])
        self.assertEqual(client.started_argv(), [("Launch.exe", [
            "-startupbyvyn", "-/appid:101", "-uin:7", "-sig:s9", "-nickname:x", "-fromupdate",
            "-adparam:0", "-url:u1 -appid:666 -evil", "-temppid:",
            '-svrid:say "hi"\tnow\\'])])
        # Values without those characters stay as the template writes them.
        self.assertTrue(started[0][1].startswith(
            "-startupbyvyn -/appid:101 -uin:7 -sig:s9 -nickname:x -fromupdate -adparam:0 "),
            started[0][1])

    def test_plain_form_branches_after_an_install(self):
        # startup_from_plugin is appended after the application id.
        client = Client(self)
        client.run("-action:install", "-startup_from_plugin")
        self.assertEqual(client.wait_started(1),
                         [("Launch.exe", "-/appid:101 -fromupdate -startup_from_plugin")])
        self.assertIsNone(client.registry.query(CLIENT_KEY, "StartupAppID"))

        # No application id: the launcher with -fromupdate alone ...
        client = Client(self, startup_app_id=None)
        client.run("-action:install")
        self.assertEqual(client.wait_started(1), [("Launch.exe", "-fromupdate")])

        # ... unless the tray program runs.
        client = Client(self, startup_app_id=None)
        tray = subprocess.Popen(command(os.path.join(client.program_folder, "PallatonTray.exe"),
                                        []), env=client.env(), stdin=subprocess.DEVNULL)
        try:
            client.wait_started(1)
            client.run("-action:install")
        finally:
            tray.kill()
            tray.wait()
        time.sleep(0.5)
        self.assertEqual([s[0] for s in client.started()], ["PallatonTray.exe"])

        # A missing launcher starts nothing, and the application id is gone all the same.
        client = Client(self)
        os.remove(client.launcher)
        client.run("-action:install")
        time.sleep(0.5)
        self.assertEqual(client.started(), [])
        self.assertIsNone(client.registry.query(CLIENT_KEY, "StartupAppID"))

    def test_plain_form_branches_after_a_check_without_package(self):
        from harness import UpdateService, answer
        client = Client(self)
        service = UpdateService(os.path.join(client.root, "service"))
        service.set_answer("version", answer())
        with service:
            # startup_from_plugin chooses the longer template.
            client.run("-action:newbin_check", "-startup_from_plugin")
            self.assertEqual(client.wait_started(1), [
                ("Launch.exe", "-/appid:101 -fromupdate -startup_from_plugin")])
            # Without an application id the launcher starts without parameters.
            other = Client(self, startup_app_id=None)
            other.run("-action:newbin_check")
            self.assertEqual(other.wait_started(1), [("Launch.exe", "")])

    def test_incomplete_platform_parameters_start_nothing(self):
        client = Client(self)
        client.run("-action:install", "-startupbyvyn", "-appid:101", "-uin:7")
        time.sleep(0.5)
        self.assertEqual(client.started(), [])
        self.assertIn("\nCUpdatePackageInstall::LaunchLastRunApp miss vyn required param\n",
                      "\n" + client.log_text())


if __name__ == "__main__":
    unittest.main()
