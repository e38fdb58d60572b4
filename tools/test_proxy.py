#!/usr/bin/env python3
"""A forward proxy for the proxy tests and the demo: squid on 127.0.0.1 with a configuration of
ours, in a state folder of its own.

  test_proxy.py start STATE_DIR [--lifetime SECONDS] [--no-auth]
  test_proxy.py stop STATE_DIR

`start` runs squid in the foreground under `timeout`, so that it stops by itself after the
lifetime even when nobody stops it, waits until it listens and prints "name=value" lines:
  - proxy_port: a proxy that serves anyone;
  - auth_proxy_port: the same proxy demanding Basic credentials (user "pallaton", password
    "secret", or one of ODD_PASSWORDS, whose passwords hold the characters that end a URL's
    credentials), answering 407 without them (left out with --no-auth);
  - access_log: STATE_DIR/access.log, one line per request as "METHOD URL STATUS RANGE USER"
    (URL is whole, with its query, and host:port for a CONNECT; RANGE and USER are "-" when
    absent).
The proxy resolves names from a hosts file of its own that maps localhost, pallaton.test and
pkg.pallaton.test to 127.0.0.1 (nothing else resolves those names, so a transfer that goes
around the proxy cannot reach them) and serves only destinations in 127.0.0.0/8, CONNECT to any
of their ports included; nothing is cached. Its own messages go to STATE_DIR/cache.log.

As root, squid drops to its own user (`proxy`) once started, and then opens its logs: its folder
becomes that user's. That is the state folder, unless a folder above it is closed to others;
then squid's files go to a folder of their own in the temporary folder, named in
STATE_DIR/squid_folder and removed by `stop`.
"""

import argparse
import glob
import hashlib
import os
import pwd
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

# The names the proxy resolves to 127.0.0.1: the test program's update service and package host.
HOST_NAMES = ["localhost", "pallaton.test", "pkg.pallaton.test"]
USER = "pallaton"
PASSWORD = "secret"
# Further users whose passwords hold a raw "/" and a raw "@".
ODD_PASSWORDS = {"slash": "pa/ss", "at": "p@ss"}
# The user squid switches to when started as root (Debian's package runs it as this user).
SQUID_USER = "proxy"

CONF = """\
http_port 127.0.0.1:{proxy_port}
{auth_port_line}
pid_filename {state}/squid.pid
cache_log {state}/cache.log
logformat requests %rm %ru %>Hs %{{Range}}>h %un
access_log stdio:{state}/access.log requests
strip_query_terms off
cache_store_log none
coredump_dir {state}
{user_line}
# Nothing kept: every request reaches the server.
cache deny all
cache_mem 8 MB
digest_generation off
netdb_filename none
# No traffic of its own: no pings, no neighbours, name lookups only in our hosts file (and any
# other name asked of a server on 127.0.0.1, where none answers).
pinger_enable off
icp_port 0
htcp_port 0
hosts_file {state}/hosts
dns_nameservers 127.0.0.1
udp_incoming_address 127.0.0.1
udp_outgoing_address 127.0.0.1
visible_hostname pallaton-test-proxy
# Stopping does not wait for open transfers.
shutdown_lifetime 0 seconds
{auth_lines}
acl loopback dst 127.0.0.0/8
http_access deny !loopback
{auth_access}
http_access allow all
"""

AUTH_LINES = """\
auth_param basic program {helper} {state}/passwd
auth_param basic children 2 startup=1
auth_param basic realm Pallaton test proxy
acl auth_port myportname auth
acl authenticated proxy_auth REQUIRED
"""


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def listening(port):
    """Whether a socket listens on 127.0.0.1:port, seen in the kernel's table rather than by a
    connection, which squid would log as a request."""
    wanted = "0100007F:%04X" % port
    with open("/proc/net/tcp") as table:
        for line in table.readlines()[1:]:
            fields = line.split()
            if fields[1] == wanted and fields[3] == "0A":
                return True
    return False


def write_file(path, text, mode=0o644):
    with open(path + ".part", "w") as f:
        f.write(text)
    os.chmod(path + ".part", mode)
    os.replace(path + ".part", path)


def auth_helper():
    found = sorted(glob.glob("/usr/lib/squid*/basic_ncsa_auth"))
    if not found:
        raise RuntimeError("squid's basic_ncsa_auth is missing: run scripts/setup")
    return found[0]


def password_lines():
    lines = ""
    for user, password in [(USER, PASSWORD)] + sorted(ODD_PASSWORDS.items()):
        hashed = subprocess.run(["openssl", "passwd", "-apr1", password], capture_output=True,
                                text=True, check=True, timeout=30).stdout.strip()
        lines += "%s:%s\n" % (user, hashed)
    return lines


def squid_user():
    """The user squid runs as: its own when started as root, else ours (None: nothing to do)."""
    if os.geteuid() != 0:
        return None
    try:
        return pwd.getpwnam(SQUID_USER)
    except KeyError:
        raise RuntimeError("the user %r is missing: run scripts/setup" % SQUID_USER)


def searchable(folder):
    """Whether others may pass through every folder above `folder` (squid's user must, as
    root starts it)."""
    while True:
        parent = os.path.dirname(folder)
        if parent == folder:
            return True
        folder = parent
        if not os.stat(folder).st_mode & 0o001:
            return False


def squid_folder(state):
    """The folder of squid's own files (configuration, logs, pid file) of a state folder."""
    try:
        with open(os.path.join(state, "squid_folder")) as f:
            return f.read().strip()
    except OSError:
        return state


def service_name(folder):
    """squid's service name for a folder: it names squid's shared memory segments, which must
    not meet those of another instance (or those a killed one left behind)."""
    return "pallaton" + hashlib.sha1(folder.encode()).hexdigest()[:12]


def read_pid(path):
    try:
        with open(path) as f:
            return int(f.read().strip())
    except (OSError, ValueError):
        return None


def running(pid):
    """Whether the process runs (a zombie that nobody reaped yet does not)."""
    try:
        with open("/proc/%d/stat" % pid) as f:
            return f.read().rsplit(")", 1)[1].split()[0] != "Z"
    except (OSError, IndexError):
        return False


# The proxies this process started, so that stop() reaps them.
_children = {}


def start(state, lifetime=900, auth=True):
    """Starts squid for the state folder and returns its ports and access log:
    dict(proxy_port=..., auth_proxy_port=..., access_log=...), without auth_proxy_port when
    `auth` is false. Raises RuntimeError when it does not start."""
    state = os.path.abspath(state)
    os.makedirs(state, exist_ok=True)
    stop(state)
    user = squid_user()
    folder = state
    if user is not None and not searchable(state):
        folder = tempfile.mkdtemp(prefix="pallaton-proxy-")
        write_file(os.path.join(state, "squid_folder"), folder + "\n")
    for name in ("access.log", "cache.log", "squid.out", "passwd"):
        try:
            os.unlink(os.path.join(folder, name))
        except OSError:
            pass

    ports = {"proxy_port": free_port()}
    if auth:
        ports["auth_proxy_port"] = free_port()
        write_file(os.path.join(folder, "passwd"), password_lines())
    write_file(os.path.join(folder, "hosts"), "127.0.0.1 %s\n" % " ".join(HOST_NAMES))
    conf = os.path.join(folder, "squid.conf")
    write_file(conf, CONF.format(
        state=folder, proxy_port=ports["proxy_port"],
        auth_port_line="http_port 127.0.0.1:%d name=auth" % ports["auth_proxy_port"]
        if auth else "",
        user_line="cache_effective_user %s" % SQUID_USER if user is not None else "",
        auth_lines=AUTH_LINES.format(helper=auth_helper(), state=folder) if auth else "",
        auth_access="http_access deny auth_port !authenticated" if auth else ""))
    if user is not None:
        # squid opens its logs once it has become its own user.
        os.chmod(folder, 0o755)
        os.chown(folder, user.pw_uid, user.pw_gid)

    with open(os.path.join(folder, "squid.out"), "w") as out:
        process = subprocess.Popen(
            ["timeout", "--signal=TERM", "--kill-after=10", str(int(lifetime)),
             "squid", "-N", "-n", service_name(folder), "-f", conf],
            stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT,
            start_new_session=True)
    _children[state] = process
    write_file(os.path.join(state, "proxy.pid"), "%d\n" % process.pid)
    deadline = time.monotonic() + 30
    while not all(listening(port) for port in ports.values()):
        if process.poll() is not None or time.monotonic() > deadline:
            message = "squid did not start:\n" + tail(folder)
            stop(state)
            raise RuntimeError(message)
        time.sleep(0.05)
    return dict(ports, access_log=os.path.join(folder, "access.log"))


def requests(access_log):
    """The requests of an access log so far, as (method, url, status, range, user) tuples."""
    try:
        with open(access_log, encoding="utf-8", errors="replace") as log:
            return [tuple((line.split() + ["-"] * 5)[:5]) for line in log if line.strip()]
    except FileNotFoundError:
        return []


def tail(folder, count=20):
    lines = []
    for name in ("squid.out", "cache.log"):
        try:
            with open(os.path.join(folder, name), errors="replace") as f:
                lines += f.read().splitlines()
        except OSError:
            pass
    return "\n".join(lines[-count:])


def stop(state):
    """Stops the squid of the state folder, if one runs, and waits until it has gone."""
    state = os.path.abspath(state)
    folder = squid_folder(state)
    pid = read_pid(os.path.join(state, "proxy.pid"))
    if pid is not None:
        # timeout and squid share a process group of their own, the helpers with them.
        try:
            os.killpg(pid, signal.SIGTERM)
        except OSError:
            pass
        squid = os.path.join(folder, "squid.pid")
        deadline = time.monotonic() + 10
        while ((running(pid) or running(read_pid(squid) or 0))
               and time.monotonic() < deadline):
            time.sleep(0.05)
        try:
            os.killpg(pid, signal.SIGKILL)
        except OSError:
            pass
        os.unlink(os.path.join(state, "proxy.pid"))
    process = _children.pop(state, None)
    if process is not None:
        try:
            process.wait(10)
        except subprocess.TimeoutExpired:
            pass
    for segment in glob.glob("/dev/shm/%s-*" % service_name(folder)):
        os.unlink(segment)
    if folder != state:
        shutil.rmtree(folder, ignore_errors=True)
        os.unlink(os.path.join(state, "squid_folder"))
    return 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("action", choices=["start", "stop"])
    parser.add_argument("state")
    parser.add_argument("--lifetime", type=float, default=900)
    parser.add_argument("--no-auth", action="store_true",
                        help="no second port demanding credentials")
    args = parser.parse_args()
    if args.action == "stop":
        return stop(args.state)
    try:
        started = start(args.state, args.lifetime, auth=not args.no_auth)
    except RuntimeError as error:
        print(error, file=sys.stderr)
        return 1
    for name, value in started.items():
        print("%s=%s" % (name, value))
    return 0


if __name__ == "__main__":
    sys.exit(main())
