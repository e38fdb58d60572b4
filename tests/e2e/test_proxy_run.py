"""Whole update runs through the user's proxy, of the build's test program whose update service is
http://pallaton.test:18327, with packages at http://pkg.pallaton.test:18327: names that only the
test proxy (squid, tools/test_proxy.py) resolves, to the local update service, so that a transfer
that goes around the proxy cannot reach them. On Linux the proxy is given in the run's
environment; under Wine in the Internet Options of the prefix's user, which every test leaves
direct again."""

import os
import re
import sys
import time
import unittest

from harness import (EXE_SUFFIX, WINDOWS, Client, Installation, UpdateService, answer, bin_path,
                     clear_internet_options, fixture_bytes, package_entry, set_internet_options)

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools"))
import test_proxy  # noqa: E402
from update_service import DEFAULT_PORT  # noqa: E402

PROXY_UPDATER = "PallatonUpdaterProxyTest" + EXE_SUFFIX
SERVICE_HOST = "pallaton.test"
PACKAGE_HOST = "pkg.pallaton.test"
HOST_OF_PATH = [("/wan/", SERVICE_HOST), ("/packages/", PACKAGE_HOST)]
# Every variable a proxy could be taken from: a run sets those it means and loses the others.
PROXY_VARIABLES = ["http_proxy", "https_proxy", "all_proxy", "no_proxy",
                   "HTTP_PROXY", "HTTPS_PROXY", "ALL_PROXY", "NO_PROXY"]
PAC = """function FindProxyForURL(url, host) {
    if (shExpMatch(host, "*pallaton.test")) return "PROXY 127.0.0.1:%d";
    return "DIRECT";
}
"""
# A script that never answers, and one whose first proxy is dead.
LOOPING_PAC = """function FindProxyForURL(url, host) {
    while (true) {}
    return "DIRECT";
}
"""
LIST_PAC = """function FindProxyForURL(url, host) {
    if (shExpMatch(host, "*pallaton.test"))
        return "PROXY 127.0.0.1:%d; PROXY 127.0.0.1:%d; DIRECT";
    return "DIRECT";
}
"""
# The limits of the service request: 10 s to connect, 20 s in all.
REQUEST_LIMIT_SECONDS = 30
# How long a proxy decision may wait for the configuration script, and what a whole run through
# the proxy may take beyond it.
SCRIPT_DEADLINE_SECONDS = 10
RUN_MARGIN_SECONDS = 40


@unittest.skipUnless(os.path.exists(bin_path(PROXY_UPDATER)), "the build has no " + PROXY_UPDATER)
class ProxyRun(unittest.TestCase):
    def setUp(self):
        self.client = Client(self, program=PROXY_UPDATER)
        self.service = UpdateService(os.path.join(self.client.root, "service"))
        self.service.start()
        self.addCleanup(self.service.stop)
        state = os.path.join(self.client.root, "proxy")
        self.proxy = test_proxy.start(state, lifetime=600)
        self.addCleanup(test_proxy.stop, state)
        self.address = "127.0.0.1:%d" % self.proxy["proxy_port"]
        if WINDOWS:
            self.addCleanup(clear_internet_options)

    def environment(self, http_proxy=None, **others):
        """The run's proxy variables: http_proxy and the others given, none of the rest."""
        env = {name: None for name in PROXY_VARIABLES}
        env.update(others, http_proxy=http_proxy)
        return env

    def serve_package(self, appid, content):
        entry = package_entry(self.service, appid, content)
        entry["url"] = entry["url"].replace(self.service.base_url,
                                            "http://%s:%d" % (PACKAGE_HOST, DEFAULT_PORT))
        return entry

    def proxied(self):
        """The requests the proxy passed on (those it refused for want of credentials left
        out), as (method, url, status, range, user)."""
        return [r for r in test_proxy.requests(self.proxy["access_log"]) if r[2] != "407"]

    def assert_decisions(self, installation, expected):
        """Each host's proxy, or DIRECT, is logged once: `expected` maps host to "HOST:PORT" or
        "DIRECT" (a proxy may be written as a URL)."""
        decisions = {}
        for line in installation.log_lines():
            if not line.startswith("Proxy: "):
                continue
            match = re.match(r"Proxy: (?:http://)?(\S+) for (\S+)$", line)
            self.assertIsNotNone(match, line)
            self.assertNotIn(match.group(2), decisions, "decided twice: " + line)
            decisions[match.group(2)] = match.group(1)
        self.assertEqual(decisions, expected, installation.log_text())

    def check_whole_run(self, env=None, proxy_address=None, user="-"):
        """A newbin_check whose request and package go through the proxy: the answer, one
        package in five ranged pieces, its record, its install, the relaunch and exit code 0;
        every request the service saw came through the proxy, as `user`."""
        proxy_address = proxy_address or self.address
        app = self.serve_package("101", fixture_bytes(0, tag="proxy"))
        self.service.set_answer("version", answer(app=[app]))

        result = self.client.run("-action:newbin_check", "-appid:101", "-uin:7", env=env)
        self.assertEqual(result.code, 0, self.client.log_text())

        served = [r for r in self.service.requests() if r[1] != "/proxy.pac"]
        pieces = [r for r in served if r[1] == "/packages/setup_101.exe"]
        self.assertEqual(len(pieces), 5, served)
        self.assertTrue(all(r[2] == "206" and r[3].startswith("bytes=") for r in pieces), pieces)
        expected = sorted((method, "http://%s:%d%s" % (
            next(host for prefix, host in HOST_OF_PATH if uri.startswith(prefix)),
            DEFAULT_PORT, uri), status, byte_range, user)
            for method, uri, status, byte_range in served)
        self.assertEqual(sorted(self.proxied()), expected)

        lines = self.client.log_lines()
        self.assertIn("CheckIfHasPackageUpdate:url=http://%s:%d/wan/box/Version/"
                      "WDVersionUpdate.php?version=1.0.0.1&uin=7&apps=101_1.0.0.1"
                      % (SERVICE_HOST, DEFAULT_PORT), lines)
        self.assertEqual(sum(1 for line in lines
                             if line.endswith(" download 1 try perform success, HttpCode=206")),
                         5, self.client.log_text())
        self.assertIn("Install package success.", lines)
        self.assert_decisions(self.client, {SERVICE_HOST: proxy_address,
                                            PACKAGE_HOST: proxy_address})
        started = self.client.wait_started(2)
        self.assertEqual([s[0] for s in started], ["setup_101.exe", "Launch.exe"])
        self.assertEqual(started[1], ("Launch.exe", "-/appid:101 -fromupdate"))
        self.assertFalse(os.path.exists(self.client.record_file))
        self.assertIn("event=2800265 category=50010 appid=101 pid=-1 kind=2 second=0",
                      self.client.statistics())

    def test_a_whole_run_through_the_proxy(self):
        if WINDOWS:
            set_internet_options(proxy=self.address)
            self.check_whole_run(env=self.environment())
        else:
            # Only http_proxy counts for http addresses: not the uppercase name (libcurl
            # ignores it too), not https_proxy, and all_proxy only without http_proxy.
            dead = "http://127.0.0.1:%d" % test_proxy.free_port()
            self.check_whole_run(env=self.environment("http://" + self.address, HTTP_PROXY=dead,
                                                      https_proxy=dead, all_proxy=dead))

    def test_a_proxy_that_cannot_be_reached_fails_the_run_as_an_unreachable_service(self):
        dead = "127.0.0.1:%d" % test_proxy.free_port()
        if WINDOWS:
            set_internet_options(proxy=dead)
            env = self.environment()
        else:
            env = self.environment("http://" + dead)
        # As the start-up tests' forced download from no service at all.
        installation = Installation(self, program=PROXY_UPDATER)
        started = time.monotonic()
        result = installation.run("-action:force_download", "-appid:205", "-pid:42", "-silent",
                                  env=env)
        elapsed = time.monotonic() - started
        self.assertEqual(result.code, -1, installation.log_text())
        self.assertEqual(installation.statistics(), [
            "event=2800230 category=50010 appid=205 pid=42 kind=2 second=0",
            "event=2800231 category=50010 appid=205 pid=42 kind=2 second=0", "shutdown"])
        lines = installation.log_lines()
        self.assertIn("Update Request:[http code:0], [result:]", lines)
        self.assertIn("Update request failed.", lines)
        self.assert_decisions(installation, {SERVICE_HOST: dead})
        self.assertEqual(self.service.requests(), [])
        # Each failed try says why in libcurl's words, which name the proxy that was tried.
        failures = [line for line in lines if line.startswith("Transfer: ")]
        self.assertTrue(failures, installation.log_text())
        for line in failures:
            self.assertTrue(line.startswith("Transfer: %s failed: " % SERVICE_HOST), line)
            self.assertIn(dead.split(":")[1], line)
        self.assertLess(elapsed, REQUEST_LIMIT_SECONDS)

    @unittest.skipIf(WINDOWS, "the environment's proxy: Linux")
    def test_basic_credentials_in_the_proxy_address(self):
        port = self.proxy["auth_proxy_port"]
        url = "http://%s:%s@127.0.0.1:%d" % (test_proxy.USER, test_proxy.PASSWORD, port)
        self.check_whole_run(env=self.environment(url), proxy_address="127.0.0.1:%d" % port,
                             user=test_proxy.USER)
        self.assertNotIn(test_proxy.PASSWORD, self.client.log_text())

    def check_credentials_never_logged(self, user):
        """A whole run through the proxy that demands credentials, as `user` whose password the
        address holds raw: sent whole, and no part of it in the log."""
        password = test_proxy.ODD_PASSWORDS[user]
        port = self.proxy["auth_proxy_port"]
        url = "http://%s:%s@127.0.0.1:%d" % (user, password, port)
        self.check_whole_run(env=self.environment(url), proxy_address="127.0.0.1:%d" % port,
                             user=user)
        # The decisions were logged as the bare address (check_whole_run); nor is the password
        # or its tail after a "/" or "@" anywhere else.
        text = self.client.log_text()
        self.assertNotIn(password, text)
        self.assertNotIn("ss@", text)

    @unittest.skipIf(WINDOWS, "the environment's proxy: Linux")
    def test_a_password_with_a_raw_slash_is_sent_and_never_logged(self):
        self.check_credentials_never_logged("slash")

    @unittest.skipIf(WINDOWS, "the environment's proxy: Linux")
    def test_a_password_with_a_raw_at_sign_is_sent_and_never_logged(self):
        self.check_credentials_never_logged("at")

    @unittest.skipUnless(WINDOWS, "Internet Options: Windows")
    def test_a_whole_run_through_the_proxy_of_a_configuration_script(self):
        script = self.service.add_file("proxy.pac", (PAC % self.proxy["proxy_port"]).encode())
        set_internet_options(script=script)
        self.check_whole_run(env=self.environment())
        self.assertIn(("GET", "/proxy.pac", "200", "-"), self.service.requests())

    @unittest.skipUnless(WINDOWS, "Internet Options: Windows")
    def test_a_looping_script_gives_way_to_the_named_proxy_at_its_deadline(self):
        script = self.service.add_file("proxy.pac", LOOPING_PAC.encode())
        set_internet_options(proxy=self.address, script=script)
        started = time.monotonic()
        self.check_whole_run(env=self.environment())
        self.assertLess(time.monotonic() - started, SCRIPT_DEADLINE_SECONDS + RUN_MARGIN_SECONDS)
        # One line, for the first host; the script is not asked for the second.
        late = [line for line in self.client.log_lines() if line.startswith("Proxy script: ")]
        self.assertEqual(late, ["Proxy script: no answer for %s within %d s; not asked again "
                                "in this run" % (SERVICE_HOST, SCRIPT_DEADLINE_SECONDS)])

    @unittest.skipUnless(WINDOWS, "Internet Options: Windows")
    def test_a_scripts_dead_first_proxy_gives_way_to_the_next(self):
        dead = test_proxy.free_port()
        script = self.service.add_file(
            "proxy.pac", (LIST_PAC % (dead, self.proxy["proxy_port"])).encode())
        set_internet_options(script=script)
        # Both hosts are decided for the second proxy (check_whole_run), each after one try of
        # the dead one.
        self.check_whole_run(env=self.environment())
        tries = [line for line in self.client.log_lines() if line.startswith("Proxy try: ")]
        self.assertEqual(sorted(tries), [
            "Proxy try: 127.0.0.1:%d for %s could not be connected; next %s"
            % (dead, host, self.address) for host in (SERVICE_HOST, PACKAGE_HOST)])

    @unittest.skipUnless(WINDOWS, "Internet Options: Windows")
    def test_a_host_on_the_bypass_list_goes_direct(self):
        # The packages at a name without a dot that the hosts file maps to the loopback: it
        # matches "<local>", goes direct and still arrives, and the proxy never sees it. The name
        # resolves without asking any server, so nothing leaves the machine.
        name = local_name()
        if name is None:
            self.skipTest("no name without a dot for 127.0.0.1 in /etc/hosts")
        set_internet_options(proxy="http=" + self.address, bypass="<local>")
        app = package_entry(self.service, "101", fixture_bytes(0, tag="bypass"))
        app["url"] = app["url"].replace(self.service.base_url, "http://%s:%d" % (name, DEFAULT_PORT))
        self.service.set_answer("version", answer(app=[app]))

        result = self.client.run("-action:check", "-uin:7", env=self.environment())
        self.assertEqual(result.code, 0, self.client.log_text())
        self.assert_decisions(self.client, {SERVICE_HOST: self.address, name: "DIRECT"})
        self.assertEqual([r[1].split("?")[0] for r in self.proxied()],
                         ["http://%s:%d/wan/box/Version/WDVersionUpdate.php"
                          % (SERVICE_HOST, DEFAULT_PORT)])
        self.assertEqual(len([r for r in self.service.requests() if r[1].startswith("/packages/")
                              and r[3] != "-"]), 5)


def local_name():
    """A name without a dot that /etc/hosts maps to 127.0.0.1, other than localhost; None when
    there is none."""
    try:
        with open("/etc/hosts") as hosts:
            for line in hosts:
                fields = line.split("#")[0].split()
                if len(fields) < 2 or fields[0] != "127.0.0.1":
                    continue
                for name in fields[1:]:
                    if name != "localhost" and "." not in name:
                        return name
    except OSError:
        pass
    return None


if __name__ == "__main__":
    unittest.main()
