"""Start-up of the real program: exit codes, log lines and statistics of every path that ends
before an update run, the single-instance guard, and the log's file name and line rules."""

import os
import unittest

from harness import LOG_NAME, WINDOWS, CLIENT_KEY, Installation


class ExitCodesAndLogLines(unittest.TestCase):
    def test_paths_that_end_before_any_action(self):
        cases = [
            # (arguments, exit code, log lines)
            ([], -1, ["CmdLine:[]"]),
            (["check", "newbin"], -1, ["CmdLine:[check newbin]"]),
            (["-foo"], 1, ["CmdLine:[-foo]", "Update process exit code:1"]),
            (["-action:CHECK"], -1, ["CmdLine:[-action:CHECK]", "Update Action:CHECK"]),
            (["-action"], -1, ["CmdLine:[-action]", "Update Action:"]),
        ]
        for args, code, lines in cases:
            with self.subTest(args=args):
                client = Installation(self)
                result = client.run(*args)
                self.assertEqual(result.code, code)
                self.assertEqual(client.log_lines(), lines)
                # Without an action nothing is reported and the service is not shut down.
                self.assertEqual(client.statistics(), [])

    def test_each_action_reports_its_event_and_ends_with_the_exit_status(self):
        cases = [
            (["-action:check", "-appid:101", "-pid:7"], 1,
             ["event=2800275 category=50010 appid=101 pid=7 kind=2 second=0"]),
            (["/ACTION=newbin_check", "-appid:12x"], 1,
             ["event=2800275 category=50010 appid=-1 pid=-1 kind=2 second=0"]),
            # No client is installed: the full package is asked for, from no service here.
            (["-action:force_download", "-appid:205", "-pid:42", "-silent"], -1,
             ["event=2800230 category=50010 appid=205 pid=42 kind=2 second=0",
              "event=2800231 category=50010 appid=205 pid=42 kind=2 second=0"]),
            (["-action:install"], 1, []),
            (["-action:silent_install"], 1, []),
        ]
        for args, code, events in cases:
            with self.subTest(args=args):
                client = Installation(self)
                result = client.run(*args)
                self.assertEqual(result.code, code)
                self.assertEqual(client.statistics(), events + ["shutdown"])
                lines = client.log_lines()
                action = args[0].split(":")[-1].split("=")[-1]
                self.assertEqual(lines[:2], ["CmdLine:[%s]" % " ".join(args),
                                             "Update Action:%s" % action])
                self.assertEqual(lines[-1], "Update process exit code:%d" % code)
                if "install" in action:
                    self.assertIn("Start install packages.", lines)

    def test_url_form_runs_the_action_behind_the_prefix(self):
        client = Installation(self)
        result = client.run("korvanewebgame://-action:check")
        self.assertEqual(result.code, 1)
        self.assertEqual(client.log_lines()[1], "Update Action:check")

    def test_blank_command_line_is_no_option_wherever_the_program_lives(self):
        # A '-' in the program's folder must not turn into an option.
        client = Installation(self, folder_name="Pallaton-Beta")
        result = client.run()
        self.assertEqual(result.code, -1)
        self.assertEqual(client.log_lines(), ["CmdLine:[]"])

    def test_startup_app_id_in_the_registry_does_not_change_the_dispatch(self):
        client = Installation(self)
        client.registry.set_strings(CLIENT_KEY, {"StartupAppID": "101"})
        self.assertEqual(client.run("-action:install", "-startupbyvyn").code, 1)


class LogRules(unittest.TestCase):
    def test_one_file_per_run_named_after_the_start_time(self):
        client = Installation(self)
        client.run("-foo")
        client.run("-foo")
        files = client.log_files()
        self.assertEqual(len(files), 2)
        for name in files:
            self.assertRegex(name, LOG_NAME)

    def test_without_the_log_folder_nothing_is_written_and_the_run_is_the_same(self):
        client = Installation(self, log_folder=False)
        result = client.run("-action:check")
        self.assertEqual(result.code, 1)
        self.assertFalse(os.path.exists(os.path.join(client.program_folder, "config")))
        self.assertEqual(result.stderr, "")

    def test_long_lines_are_cut_and_percent_signs_are_kept(self):
        client = Installation(self)
        long_value = "x" * 2000
        client.run("-action:%s%d%n", "-url:" + long_value)
        text = client.log_text()
        first = text.split("TessaryMicroClient: ")[1]
        # The whole line, prefix included, is cut to 1,023 characters and loses its line end.
        self.assertEqual(len("TessaryMicroClient: " + first), 1023)
        self.assertFalse(first.endswith("\n"))
        self.assertIn("TessaryMicroClient: Update Action:%s%d%n\n", text)

    @unittest.skipIf(WINDOWS, "Wine shows no debug output")
    def test_without_the_log_library_each_line_goes_to_the_debug_output(self):
        client = Installation(self, log_library=False)
        result = client.run("-action:check")
        self.assertEqual(result.code, 1)
        self.assertEqual(client.log_files(), [])
        # CmdLine, Update Action, ExitAllThread (no installed version) and the exit code.
        self.assertEqual(result.stderr.splitlines(), ["[kogame]get log module failed!"] * 4)


class SingleInstance(unittest.TestCase):
    def test_second_updater_ends_at_once_and_writes_nothing(self):
        client = Installation(self)
        holder = client.start_tool("mutex_holder", "PallatonUpdateMutex", "60")
        try:
            self.assertEqual(holder.stdout.readline().strip(), "held")
            result = client.run("-action:check")
            self.assertEqual(result.code, -1)
            self.assertEqual(client.log_files(), [])
            self.assertEqual(client.statistics(), [])
        finally:
            holder.stdin.close()
            holder.wait(timeout=30)
        # Once the other updater is gone, the next one runs.
        self.assertEqual(client.run("-action:check").code, 1)

    def test_a_running_install_pass_does_not_block_a_new_updater(self):
        client = Installation(self)
        holder = client.start_tool("mutex_holder", "PallatonUpdateMutexInstall", "60", "owned")
        try:
            self.assertEqual(holder.stdout.readline().strip(), "held")
            self.assertEqual(client.run("-action:check").code, 1)
        finally:
            holder.stdin.close()
            holder.wait(timeout=30)


if __name__ == "__main__":
    unittest.main()
