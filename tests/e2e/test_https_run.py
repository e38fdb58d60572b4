"""Whole update runs over https, of the build's https test program: the updater whose service is
https://127.0.0.1:18328 and which trusts the build's pinned root (PALLATON_TRUSTED_CA) alone.
A service whose certificate comes from that root is used as the plain one is; a service whose
certificate comes from another root is never asked, and the run fails as when nothing listens."""

import os
import shutil
import tempfile
import unittest

from harness import (HTTPS_TEST_UPDATER, TEST_ROOT, WINDOWS, Client, UpdateService, answer,
                     bin_path, fixture_bytes, package_entry, program_path)
import test_pki
from update_service import HTTPS_TEST_PORT

FAILURE_BOX_TEXT = "Korvane\u5fae\u7aef: \u975e\u5e38\u62b1\u6b49"
REFUSED = "Transfer: the certificate of 127.0.0.1 was refused:"


def byte_range(text):
    """(first, last) of a Range header "bytes=FIRST-LAST"."""
    first, last = text[len("bytes="):].split("-")
    return int(first), int(last)


@unittest.skipUnless(TEST_ROOT, "the build pins no root (PALLATON_TRUSTED_CA is not set)")
@unittest.skipUnless(os.path.exists(bin_path(HTTPS_TEST_UPDATER)),
                     "the build has no %s" % HTTPS_TEST_UPDATER)
@unittest.skipUnless(os.path.exists(test_pki.key_of(TEST_ROOT)),
                     "no key beside the pinned root to issue the service's certificates with")
class HttpsRun(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.pki = tempfile.mkdtemp(prefix="pallaton-e2e-pki-")
        cls.certificates = test_pki.issue_servers(cls.pki, TEST_ROOT)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.pki, True)

    def setUp(self):
        self.client = Client(self, program=HTTPS_TEST_UPDATER)

    def start_service(self, certificate):
        service = UpdateService(os.path.join(self.client.root, "service"), HTTPS_TEST_PORT,
                                tls=self.certificates[certificate])
        service.start()
        self.addCleanup(service.stop)
        return service

    def test_a_service_with_a_certificate_of_the_pinned_root_serves_a_whole_run(self):
        service = self.start_service("good")
        app = package_entry(service, "101", fixture_bytes(0, tag="https") * 2)
        self.assertTrue(app["url"].startswith("https://127.0.0.1:%d/" % HTTPS_TEST_PORT))
        service.set_answer("version", answer(app=[app]))

        result = self.client.run("-action:newbin_check", "-appid:101", "-uin:7")
        self.assertEqual(result.code, 0, self.client.log_text())

        requests = service.requests()
        self.assertEqual([r[1] for r in requests if r[1].startswith("/wan/")],
                         ["/wan/box/Version/WDVersionUpdate.php?version=1.0.0.1&uin=7"
                          "&apps=101_1.0.0.1"])
        # Five ranged pieces, one after the other from the first byte to the last (the last
        # range is open past the end, which the server cuts to the file).
        pieces = [r for r in requests if r[1] == "/packages/setup_101.exe"]
        self.assertEqual(len(pieces), 5, requests)
        self.assertTrue(all(r[2] == "206" for r in pieces), requests)
        ranges = sorted(byte_range(r[3]) for r in pieces)
        self.assertEqual(ranges[0][0], 0)
        self.assertGreaterEqual(ranges[-1][1], app["file_size"] - 1)
        for before, after in zip(ranges, ranges[1:]):
            self.assertEqual(after[0], before[1] + 1, ranges)

        lines = self.client.log_lines()
        self.assertIn("CheckIfHasPackageUpdate:url=https://127.0.0.1:%d/wan/box/Version/"
                      "WDVersionUpdate.php?version=1.0.0.1&uin=7&apps=101_1.0.0.1"
                      % HTTPS_TEST_PORT, lines)
        self.assertIn("Update Request:[http code:200], [result:%s]" % answer(app=[app]), lines)
        self.assertIn("DownloadUpdatePackage:url=" + app["url"], lines)
        local = program_path(self.client.download_folder, app["file_name"])
        self.assertIn("Download package: succeed, FileName:[%s]" % local, lines)
        # The install pass found the package through the record, checked it and ran it.
        self.assertIn("Package path:" + local, lines)
        self.assertIn("md5:" + app["md5"], lines)
        self.assertIn("Install package success.", lines)
        self.assertFalse(any(l.startswith("Transfer: the certificate") for l in lines), lines)
        self.assertFalse(os.path.exists(self.client.record_file))
        started = self.client.wait_started(2)
        self.assertEqual([s[0] for s in started], ["setup_101.exe", "Launch.exe"])
        self.assertEqual(started[1], ("Launch.exe", "-/appid:101 -fromupdate"))
        statistics = self.client.statistics()
        self.assertIn("event=2800265 category=50010 appid=101 pid=-1 kind=2 second=0", statistics)
        self.assertIn("event=2800267 category=50010 appid=101 pid=-1 kind=2 second=0", statistics)

    def forced_download(self, client):
        """force_download as the client starts it, without -silent: a failed request shows the
        failure box, closed by a tool under Wine, written to standard error on Linux."""
        closer = None
        if WINDOWS:
            closer = client.start_tool("dialog_closer", "Korvane", "60")
            self.addCleanup(closer.wait, 90)
            self.addCleanup(closer.stdout.close)
        result = client.run("-action:force_download", "-appid:101", "-pid:42",
                            "-bin_version:2.0.0.0")
        if closer is not None:
            self.assertEqual(closer.stdout.readline().strip(), "closed")
            closer.wait(30)
        else:
            self.assertIn(FAILURE_BOX_TEXT, result.stderr)
        return result

    def test_a_service_with_a_certificate_of_another_root_is_never_asked(self):
        # The same names as the good certificate, from a root with the pinned root's name.
        service = self.start_service("other-root")
        full = package_entry(service, "101", fixture_bytes(0, tag="refused"),
                             section="fullpackage")
        service.set_answer("fullpackage", answer(full=full))

        refused = self.forced_download(self.client)
        self.assertEqual(service.requests(), [])
        lines = self.client.log_lines()
        refusals = [l for l in lines if l.startswith(REFUSED)]
        self.assertEqual(len(refusals), 1, lines)
        self.assertTrue(refusals[0][len(REFUSED):].strip(), "the refusal says why")
        # Said once: no second line of the same failure.
        self.assertFalse(any(l.startswith("Transfer: 127.0.0.1 failed:") for l in lines), lines)
        self.assertIn("Update Request:[http code:0], [result:]", lines)
        self.assertIn("Update request failed.", lines)
        self.assertNotIn("Start Download update packages", lines)

        # The same run with nothing listening at the service's address.
        service.stop()
        unreachable = Client(self, program=HTTPS_TEST_UPDATER)
        expected = self.forced_download(unreachable)
        self.assertEqual(expected.code, -1)
        self.assertEqual(refused.code, expected.code)
        self.assertEqual(self.client.statistics(), unreachable.statistics())
        self.assertFalse(any(l.startswith(REFUSED) for l in unreachable.log_lines()))
        # Each failed try says why in libcurl's words, which name the address tried.
        failures = [l for l in unreachable.log_lines() if l.startswith("Transfer: ")]
        self.assertTrue(failures, unreachable.log_text())
        for line in failures:
            self.assertTrue(line.startswith("Transfer: 127.0.0.1 failed: "), line)
            self.assertIn(str(HTTPS_TEST_PORT), line)
        self.assertEqual([s[0] for s in self.client.started()],
                         [s[0] for s in unreachable.started()])


if __name__ == "__main__":
    unittest.main()
