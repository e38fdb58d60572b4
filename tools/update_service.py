#!/usr/bin/env python3
"""The local update service: nginx on 127.0.0.1 with a configuration of ours, answering both
service paths from JSON files and serving package files (with ranges), over http or https.

  update_service.py start STATE_DIR [--port PORT] [--lifetime SECONDS]
                    [--https --cert CERT_PEM --key KEY]
  update_service.py stop STATE_DIR

STATE_DIR/answers/version.json answers /wan/box/Version/WDVersionUpdate.php,
STATE_DIR/answers/fullpackage.json answers /wan/box/OtherServer/GetPackagePath4WDNew.php, and
STATE_DIR/www holds the files served at the other paths. With --https (tls=(CERT_PEM, KEY) for
the class) the same server speaks TLS 1.2 and 1.3 with that certificate, the answers and the
package files alike, so that an answer names https://127.0.0.1:PORT/... package addresses.
Every request is appended to STATE_DIR/access.log as "METHOD URI STATUS [RANGE]". nginx runs
under `timeout`, so it stops by itself after the lifetime even when nobody stops it.
"""

import argparse
import os
import signal
import socket
import subprocess
import sys
import time

import nginx_conf

DEFAULT_PORT = 18327
# The port of the service of the https test program (PallatonUpdaterHttpsTest).
HTTPS_TEST_PORT = 18328

# The two answers of the service, each a JSON file the tests and the demo rewrite.
LOCATIONS = """\
        location = /wan/box/Version/WDVersionUpdate.php {
            default_type application/json;
            alias {state}/answers/version.json;
        }
        location = /wan/box/OtherServer/GetPackagePath4WDNew.php {
            default_type application/json;
            alias {state}/answers/fullpackage.json;
        }
"""


def listening(port):
    with socket.socket() as s:
        s.settimeout(0.5)
        return s.connect_ex(("127.0.0.1", port)) == 0


class UpdateService:
    """Starts nginx for a state folder; use as a context manager or call start() and stop().
    With tls=(CERT_PEM, KEY) it serves over https."""

    def __init__(self, state, port=DEFAULT_PORT, lifetime=900, tls=None):
        self.state = os.path.abspath(state)
        self.port = port
        self.lifetime = lifetime
        self.tls = tuple(os.path.abspath(path) for path in tls) if tls else None
        self.process = None
        for sub in ("answers", "www", "tmp"):
            os.makedirs(os.path.join(self.state, sub), exist_ok=True)

    @property
    def base_url(self):
        return "%s://127.0.0.1:%d" % ("https" if self.tls else "http", self.port)

    def set_answer(self, name, text):
        """Sets the body of one service path: name is "version" or "fullpackage"."""
        path = os.path.join(self.state, "answers", name + ".json")
        with open(path + ".part", "w", encoding="utf-8") as answer:
            answer.write(text)
        os.replace(path + ".part", path)

    def add_file(self, name, content):
        path = os.path.join(self.state, "www", name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as served:
            served.write(content)
        return self.base_url + "/" + name

    def requests(self):
        """The requests served so far, as (method, uri, status, range) tuples."""
        path = os.path.join(self.state, "access.log")
        if not os.path.exists(path):
            return []
        with open(path, encoding="utf-8", errors="replace") as log:
            return [tuple((line.rstrip("\n").split(" ", 3) + ["", "", "", ""])[:4])
                    for line in log if line.strip()]

    def start(self):
        if listening(self.port):
            raise RuntimeError("port %d is in use: another update service runs" % self.port)
        conf = nginx_conf.write_conf(
            self.state, self.port, LOCATIONS.replace("{state}", self.state),
            master_process=False, worker_connections=256, tls=self.tls,
            access_log="log_format requests '$request_method $request_uri $status $http_range';\n"
                       f"    access_log {self.state}/access.log requests;")
        self.process = subprocess.Popen(
            ["timeout", "--signal=TERM", str(int(self.lifetime)), "nginx", "-p", self.state,
             "-e", os.path.join(self.state, "error.log"), "-c", conf],
            stdin=subprocess.DEVNULL, start_new_session=True)
        with open(os.path.join(self.state, "service.pid"), "w") as pid:
            pid.write("%d\n" % self.process.pid)
        deadline = time.monotonic() + 15
        while not listening(self.port):
            if self.process.poll() is not None or time.monotonic() > deadline:
                self.stop()
                raise RuntimeError("nginx did not start; see %s/error.log" % self.state)
            time.sleep(0.05)
        return self

    def stop(self):
        stop_state(self.state)
        if self.process is not None:
            try:
                self.process.wait(10)
            except subprocess.TimeoutExpired:
                self.process.kill()
            self.process = None

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()


def stop_state(state):
    for name in ("service.pid", "nginx.pid"):
        path = os.path.join(state, name)
        try:
            with open(path) as f:
                pid = int(f.read().strip())
            if name == "service.pid":
                os.killpg(pid, signal.SIGTERM)
            else:
                os.kill(pid, signal.SIGTERM)
        except (OSError, ValueError):
            pass
    deadline = time.monotonic() + 10
    while os.path.exists(os.path.join(state, "nginx.pid")) and time.monotonic() < deadline:
        time.sleep(0.05)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("action", choices=["start", "stop"])
    parser.add_argument("state")
    parser.add_argument("--port", type=int, default=DEFAULT_PORT)
    parser.add_argument("--lifetime", type=int, default=900)
    parser.add_argument("--https", action="store_true", help="serve over https")
    parser.add_argument("--cert", help="with --https: the server's certificate (PEM)")
    parser.add_argument("--key", help="with --https: the certificate's key")
    args = parser.parse_args()
    if args.action == "stop":
        stop_state(os.path.abspath(args.state))
        return 0
    if args.https != bool(args.cert and args.key):
        parser.error("--https goes with --cert and --key")
    tls = (args.cert, args.key) if args.https else None
    UpdateService(args.state, args.port, args.lifetime, tls).start()
    return 0


if __name__ == "__main__":
    sys.exit(main())
