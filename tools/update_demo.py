#!/usr/bin/env python3
"""One whole update run, as the client would start it, against the local update service.

  update_demo.py BIN_DIR linux|windows [--proxy] [--https ROOT_PEM]

Lays out an installed client in a scratch folder (registry values, launcher, main and tray
programs, the updater beside them), serves one application package and one client package that
are newer than the installed ones (each a small installer program that records that it ran and
exits 0), runs `newbin_check` and prints what happened.

With --proxy the updater is the build's PallatonUpdaterProxyTest, whose service is
http://pallaton.test:18327, and the packages are served as http://pkg.pallaton.test:18327/...:
names that only the local proxy (squid, test_proxy.py) resolves. The proxy is the user's: in
the environment on Linux (http_proxy), in the Internet Options of the Wine prefix's user on
Windows (set back to direct connections at the end). The proxy's access log is printed too.

With --https the service answers over https, with a certificate for 127.0.0.1 issued by ROOT_PEM
(its key beside it, ending in .key; see test_pki.py), and names https addresses for the packages,
which the same server serves: for a build whose service is https://127.0.0.1:18327 and which pins
ROOT_PEM (PALLATON_TRUSTED_CA).
"""

import argparse
import os
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))
sys.path.insert(0, HERE)
import test_proxy  # noqa: E402

PROXY_UPDATER = "PallatonUpdaterProxyTest"
SERVICE_HOST = "pallaton.test"
PACKAGE_HOST = "pkg.pallaton.test"


class Cleanups:
    def __init__(self):
        self.calls = []

    def addCleanup(self, function, *args):  # noqa: N802 (the harness expects a test's name)
        self.calls.append((function, args))

    def run(self):
        for function, args in reversed(self.calls):
            function(*args)

    # The harness's checks of what the stand-in libraries received.
    def assertNotIn(self, member, container, msg=None):  # noqa: N802
        if member in container:
            raise SystemExit("demo: %s" % (msg or "the log holds %r" % member))

    def assertFalse(self, value, msg=None):  # noqa: N802
        if value:
            raise SystemExit("demo: %s" % (msg or repr(value)))


def section(title):
    print("\n== %s" % title)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("bin_dir")
    parser.add_argument("target", choices=["linux", "windows"])
    parser.add_argument("--proxy", action="store_true",
                        help="the test build, its service and packages reached through a proxy")
    parser.add_argument("--https", metavar="ROOT_PEM",
                        help="serve over https with a certificate issued by this root")
    args = parser.parse_args()
    options = args
    os.environ["PALLATON_BIN_DIR"] = os.path.abspath(args.bin_dir)
    os.environ["PALLATON_TARGET"] = args.target
    import harness  # noqa: E402 (reads the two variables above)

    tls = None
    if args.https:
        import test_pki
        # Beside the root, so that the next demo finds them issued.
        folder = os.path.join(os.path.dirname(os.path.abspath(args.https)), "demo-service")
        tls = test_pki.issue_servers(folder, args.https)["good"]

    cleanups = Cleanups()
    try:
        program = PROXY_UPDATER + harness.EXE_SUFFIX if options.proxy else None
        client = harness.Client(cleanups, version="1.0.0.1", startup_app_id="101",
                                apps={"101": "1.0.0.1", "205": "2.3.0.0"}, program=program)
        service = harness.UpdateService(os.path.join(client.root, "service"), tls=tls)
        service.start()
        cleanups.addCleanup(service.stop)
        service_url = service.base_url
        env = None
        if options.proxy:
            state = os.path.join(client.root, "proxy")
            proxy = test_proxy.start(state, lifetime=600, auth=False)
            cleanups.addCleanup(test_proxy.stop, state)
            address = "127.0.0.1:%d" % proxy["proxy_port"]
            service_url = "http://%s:%d" % (SERVICE_HOST, service.port)
            if harness.WINDOWS:
                harness.set_internet_options(proxy=address)
                cleanups.addCleanup(harness.clear_internet_options)
                env = {"http_proxy": None}
                given = "Internet Options of the Wine prefix's user: ProxyServer=%s" % address
            else:
                env = {"http_proxy": "http://" + address, "no_proxy": None}
                given = "environment: http_proxy=http://%s" % address
        app = harness.package_entry(service, "101", harness.fixture_bytes(0, tag="game") * 3,
                                    version="1.0.0.2")
        client_package = harness.package_entry(service, "1000",
                                               harness.fixture_bytes(0, tag="client") * 2,
                                               version="1.0.0.2", section="bin")
        if options.proxy:
            for entry in (app, client_package):
                entry["url"] = entry["url"].replace(
                    service.base_url, "http://%s:%d" % (PACKAGE_HOST, service.port))
        service.set_answer("version", harness.answer(app=[app], bin_entry=client_package))

        print("installed client: %s (version 1.0.0.1, applications 101 and 205)"
              % client.program_folder)
        print("update service:   %s" % service_url)
        if options.proxy:
            print("packages:         http://%s:%d/packages/" % (PACKAGE_HOST, service.port))
            print("proxy:            squid on %s, given in the %s" % (address, given))
            print("                  (only the proxy resolves %s and %s, to 127.0.0.1)"
                  % (SERVICE_HOST, PACKAGE_HOST))
        if tls:
            print("                  certificate for 127.0.0.1 issued by %s" % args.https)
            print("package addresses: %s, %s" % (app["url"], client_package["url"]))

        # The record lives only between the last download and the install pass: catch it.
        seen = {}

        def watch():
            while "record" not in seen and not seen.get("done"):
                try:
                    with open(client.record_file, encoding="utf-8", errors="replace") as record:
                        text = record.read()
                    if "[info]" in text:
                        seen["record"] = text
                except OSError:
                    pass
                time.sleep(0.002)

        watcher = threading.Thread(target=watch, daemon=True)
        watcher.start()
        args = ["-action:newbin_check", "-appid:101", "-uin:7", "-loginuin:77"]
        print("\n$ %s %s" % (harness.UPDATER, " ".join(args)))
        started = time.monotonic()
        result = client.run(*args, env=env)
        seen["done"] = True
        watcher.join(1)
        elapsed = time.monotonic() - started

        section("requests to the update service")
        for method, uri, status, byte_range in service.requests():
            print("  %-4s %s -> %s%s" % (method, uri, status,
                                         "" if byte_range in ("", "-") else "  (" + byte_range + ")"))
        section("package record written after the downloads")
        print("  " + seen.get("record", "(consumed before it could be shown)\n")
              .replace("\n", "\n  ").rstrip())
        section("programs the updater started")
        for name, parameters in client.wait_started(3, timeout=10):
            print("  %s %s" % (name, parameters or "(no parameters)"))
        print("  (each installer records its start and exits with 0)")
        section("exit code")
        print("  %d after %.1f s" % (result.code, elapsed))
        section("log")
        for line in client.log_text().splitlines():
            print("  " + line)
        section("statistics")
        for line in client.statistics():
            print("  " + line)
        if options.proxy:
            section("requests through the proxy (its access log: method, URL, status, range)")
            for method, url, status, byte_range, _ in test_proxy.requests(proxy["access_log"]):
                print("  %-4s %s -> %s%s" % (method, url, status,
                                             "" if byte_range == "-" else "  (" + byte_range + ")"))
        return 0 if result.code == 0 else 1
    finally:
        cleanups.run()


if __name__ == "__main__":
    sys.exit(main())
