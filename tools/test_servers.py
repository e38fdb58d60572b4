#!/usr/bin/env python3
"""Starts and stops the local servers of the transfer tests and the download benchmark.

  test_servers.py start STATE_DIR [--lifetime SECONDS] [--access-log] [--root ROOT_PEM]
  test_servers.py stop STATE_DIR

`start` runs, in the background, a supervisor that serves from STATE_DIR/www:
  - nginx on 127.0.0.1 with a configuration of ours: the files at /NAME, and the same files at
    /limited/NAME with a rate limit of 4 MiB/s per connection;
  - in the same nginx, five https servers (TLS 1.2 and 1.3) with those files and locations, and
    /redirect?to=URL answering 302 with the location URL (as given: not percent-decoded), each
    with a certificate of its own (see test_pki.py): "https" with a good one for 127.0.0.1,
    "https_other_root" with one of the same names from a root that is not trusted,
    "https_expired" with an expired one, "https_wrong_host" with one for another name and
    "https_other_ip" with one for another address (127.0.0.1 only as a DNS name). The
    certificates are issued into STATE_DIR/pki, signed by ROOT_PEM (with its key beside it,
    ending in .key) or, without --root, by a root of their own made there;
  - nghttpd (Debian's nghttp2-server), which speaks HTTP/2 only, over TLS with the good
    certificate, serving the same files at /NAME (without ranges);
  - the fault server of fault_server.py, with the same files at /files/NAME;
  - a "black hole" port whose listen queue is full, so that a connection to it is never
    accepted and a client's connect time-out runs out;
  - a forward proxy (test_proxy.py, in STATE_DIR/proxy), whose ports and access log servers.txt
    gives as proxy_port, auth_proxy_port (the port that demands Basic credentials) and proxy_log.
With --access-log, nginx appends every answered request to STATE_DIR/access.log as
"URI STATUS RANGE BODY_BYTES" (RANGE is "-" without a Range header; BODY_BYTES is the body
handed to the connection, also for a request whose client went away).
When the servers listen, it writes STATE_DIR/servers.txt ("name=value" lines: nginx_port,
fault_port, blackhole_port, https_port, https_other_root_port, https_expired_port,
https_wrong_host_port, https_other_ip_port, h2_port, docroot, and tls_root, the root PEM that
signed the certificates of https, https_expired, https_wrong_host and https_other_ip) and returns.
The supervisor, and nginx and nghttpd with it, ends on `stop` or by itself after the lifetime, so
that nothing is left running when a test run dies.

The tests' files are created in the document root: pattern.N for N in PATTERN_SIZES, whose byte
at offset i is (i % 251) ^ ((i // 251) % 256), so that a piece in a wrong place shows; and
sparse.N for N in SPARSE_SIZES, a sparse file of zeros with a mark every 64 MiB and at its end
(see sparse_mark), which takes almost no disk and shows a piece in a wrong place as well.
"""

import argparse
import os
import signal
import socket
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import fault_server  # noqa: E402
import nginx_conf  # noqa: E402
import test_pki  # noqa: E402
import test_proxy  # noqa: E402

PATTERN_SIZES = [0, 3, 1000003, 4000000, 8000000]

# 4.5 GiB and 3 bytes: beyond what 32 bits count, with a last piece that ends past 4 GiB.
SPARSE_SIZES = [4831838211]
SPARSE_MARK_EVERY = 64 << 20
SPARSE_MARK_BYTES = 16


def sparse_mark(offset):
    """The 16 bytes at `offset` of a sparse file: the offset itself, so that a mark in a wrong
    place shows."""
    return b"@%015d" % offset


def sparse_mark_offsets(size):
    """Where the marks of a sparse file of `size` bytes are: every 64 MiB, and its last 16 bytes."""
    return list(range(0, size - SPARSE_MARK_BYTES, SPARSE_MARK_EVERY)) + [size - SPARSE_MARK_BYTES]


def write_sparse(docroot):
    for size in SPARSE_SIZES:
        path = os.path.join(docroot, "sparse.%d" % size)
        if os.path.exists(path) and os.path.getsize(path) == size:
            continue
        with open(path + ".part", "wb") as f:
            f.truncate(size)
            for offset in sparse_mark_offsets(size):
                f.seek(offset)
                f.write(sparse_mark(offset))
        os.replace(path + ".part", path)

# The files at /NAME, and the same files at /limited/NAME at a bounded rate.
LOCATIONS = """\
        location /limited/ {
            alias {state}/www/;
            limit_rate 4m;
        }
"""

# The https servers add a redirect to any address a test names.
HTTPS_LOCATIONS = LOCATIONS + """\
        location = /redirect {
            return 302 $arg_to;
        }
"""

# The https servers: the name of the port in servers.txt and the certificate each one shows.
HTTPS_SERVERS = [("https_port", "good"), ("https_other_root_port", "other-root"),
                 ("https_expired_port", "expired"), ("https_wrong_host_port", "wrong-host"),
                 ("https_other_ip_port", "other-ip")]


def pattern_bytes(size):
    block = bytes(range(251))
    out = bytearray()
    for start in range(0, size, 251):
        mask = (start // 251) % 256
        part = bytes(b ^ mask for b in block)
        out += part[:min(251, size - start)]
    return bytes(out)


def write_patterns(docroot):
    for size in PATTERN_SIZES:
        path = os.path.join(docroot, "pattern.%d" % size)
        if os.path.exists(path) and os.path.getsize(path) == size:
            continue
        with open(path + ".part", "wb") as f:
            f.write(pattern_bytes(size))
        os.replace(path + ".part", path)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def black_hole():
    """A listening socket whose accept queue is full: further connections are never accepted.
    Returns the socket and the clients that fill the queue (both must be kept open)."""
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(0)
    fillers = []
    for _ in range(3):
        client = socket.socket()
        client.setblocking(False)
        try:
            client.connect(listener.getsockname())
        except BlockingIOError:
            pass
        fillers.append(client)
    return listener, fillers


def write_atomically(path, text):
    with open(path + ".part", "w") as f:
        f.write(text)
    os.replace(path + ".part", path)


ACCESS_LOG = """\
log_format transfer '$request_uri $status $http_range $body_bytes_sent';
    access_log {state}/access.log transfer;"""


def start_nghttpd(state, docroot, certificate, lifetime):
    """nghttpd on a free port of 127.0.0.1 with the certificate (pem, key); returns it and the
    port. It ends by itself a minute after the lifetime, and its pid goes to STATE_DIR/nghttpd.pid,
    so that `stop` ends it when the supervisor was killed outright."""
    port = free_port()
    pem, key = certificate
    with open(os.path.join(state, "nghttpd.log"), "w") as log:
        process = subprocess.Popen(["timeout", str(int(lifetime) + 60), "nghttpd",
                                    "--address=127.0.0.1", "--htdocs=" + docroot, str(port), key,
                                    pem], stdin=subprocess.DEVNULL, stdout=log, stderr=log)
    write_atomically(os.path.join(state, "nghttpd.pid"), "%d\n" % process.pid)
    return process, port


def run(state, lifetime, access_log=False, root=None):
    """The supervisor: serves until SIGTERM or the end of its lifetime."""
    docroot = os.path.join(state, "www")
    for folder in (docroot, os.path.join(state, "tmp")):
        os.makedirs(folder, exist_ok=True)
    write_patterns(docroot)
    write_sparse(docroot)
    pki = os.path.join(state, "pki")
    root = os.path.abspath(root) if root else test_pki.make_root(pki)
    certificates = test_pki.issue_servers(pki, root)

    stop = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: stop.set())
    signal.signal(signal.SIGINT, lambda *_: stop.set())

    server = fault_server.FaultServer(0, docroot)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    hole, fillers = black_hole()

    nginx_port = free_port()
    https_ports = {name: free_port() for name, _ in HTTPS_SERVERS}
    https_locations = HTTPS_LOCATIONS.replace("{state}", state)
    conf = nginx_conf.write_conf(state, nginx_port, LOCATIONS.replace("{state}", state),
                                 error_log="nginx-error.log",
                                 access_log=ACCESS_LOG.replace("{state}", state) if access_log
                                 else "access_log off;",
                                 http_extra="    tcp_nopush on;\n    keepalive_timeout 30;\n",
                                 extra_servers="".join(
                                     nginx_conf.server_block(state, https_ports[name],
                                                             https_locations,
                                                             certificates[certificate])
                                     for name, certificate in HTTPS_SERVERS))
    nginx = subprocess.Popen(["nginx", "-p", state, "-e", os.path.join(state, "nginx-error.log"),
                              "-c", conf], stdin=subprocess.DEVNULL)
    nghttpd = None
    try:
        nghttpd, h2_port = start_nghttpd(state, docroot, certificates["good"], lifetime)
        deadline = time.monotonic() + 10
        while not all(listening(port) for port in [nginx_port] + list(https_ports.values())):
            if nginx.poll() is not None or time.monotonic() > deadline:
                print("nginx did not start; see %s/nginx-error.log" % state, file=sys.stderr)
                return 1
            time.sleep(0.05)
        while not listening(h2_port):
            if nghttpd.poll() is not None or time.monotonic() > deadline:
                print("nghttpd did not start; see %s/nghttpd.log" % state, file=sys.stderr)
                return 1
            time.sleep(0.05)
        proxy = test_proxy.start(os.path.join(state, "proxy"), lifetime)
        proxy_lines = "proxy_port=%d\nauth_proxy_port=%d\nproxy_log=%s\n" % (
            proxy["proxy_port"], proxy["auth_proxy_port"], proxy["access_log"])
        write_atomically(os.path.join(state, "servers.txt"),
                         "nginx_port=%d\nfault_port=%d\nblackhole_port=%d\n" %
                         (nginx_port, server.server_address[1], hole.getsockname()[1]) +
                         "".join("%s=%d\n" % (name, https_ports[name]) for name, _ in HTTPS_SERVERS)
                         + "h2_port=%d\ndocroot=%s\ntls_root=%s\n" % (h2_port, docroot, root)
                         + proxy_lines)
        end = time.monotonic() + lifetime
        while (not stop.is_set() and time.monotonic() < end and nginx.poll() is None
               and nghttpd.poll() is None):
            stop.wait(0.5)
    finally:
        try:
            os.unlink(os.path.join(state, "servers.txt"))
        except OSError:
            pass
        for process in (nginx, nghttpd):
            if process is not None and process.poll() is None:
                process.terminate()
                try:
                    process.wait(10)
                except subprocess.TimeoutExpired:
                    process.kill()
        try:
            os.unlink(os.path.join(state, "nghttpd.pid"))
        except OSError:
            pass
        test_proxy.stop(os.path.join(state, "proxy"))
        server.shutdown()
        for s in fillers + [hole]:
            s.close()
    return 0


def listening(port):
    with socket.socket() as s:
        s.settimeout(0.5)
        return s.connect_ex(("127.0.0.1", port)) == 0


def alive(pid):
    try:
        os.kill(pid, 0)
        return True
    except OSError:
        return False


def stop(state):
    pid = test_proxy.read_pid(os.path.join(state, "supervisor.pid"))
    if pid is not None and alive(pid):
        os.kill(pid, signal.SIGTERM)
        deadline = time.monotonic() + 15
        while alive(pid) and time.monotonic() < deadline:
            time.sleep(0.05)
        if alive(pid):
            os.kill(pid, signal.SIGKILL)
    # An nginx or nghttpd whose supervisor was killed outright.
    for name in ("nginx.pid", "nghttpd.pid"):
        server = test_proxy.read_pid(os.path.join(state, name))
        if server is not None and alive(server):
            os.kill(server, signal.SIGTERM)
    test_proxy.stop(os.path.join(state, "proxy"))
    for name in ("supervisor.pid", "servers.txt", "nghttpd.pid"):
        try:
            os.unlink(os.path.join(state, name))
        except OSError:
            pass
    return 0


def start(state, lifetime, access_log=False, root=None):
    os.makedirs(state, exist_ok=True)
    stop(state)
    log = open(os.path.join(state, "supervisor.log"), "w")
    child = subprocess.Popen([sys.executable, os.path.abspath(__file__), "run", state,
                              "--lifetime", str(lifetime)] +
                             (["--access-log"] if access_log else []) +
                             (["--root", os.path.abspath(root)] if root else []),
                             stdin=subprocess.DEVNULL, stdout=log, stderr=log,
                             start_new_session=True)
    write_atomically(os.path.join(state, "supervisor.pid"), "%d\n" % child.pid)
    servers = os.path.join(state, "servers.txt")
    deadline = time.monotonic() + 60
    while not os.path.exists(servers):
        if child.poll() is not None or time.monotonic() > deadline:
            stop(state)
            with open(os.path.join(state, "supervisor.log")) as f:
                sys.stderr.write(f.read())
            print("test servers did not start", file=sys.stderr)
            return 1
        time.sleep(0.05)
    with open(servers) as f:
        sys.stdout.write(f.read())
    return 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("action", choices=["start", "stop", "run"])
    parser.add_argument("state")
    parser.add_argument("--lifetime", type=float, default=1800)
    parser.add_argument("--access-log", action="store_true",
                        help="log nginx's requests with the bytes sent to STATE/access.log")
    parser.add_argument("--root", help="the root PEM that signs the https servers' certificates "
                                       "(its key beside it, ending in .key)")
    args = parser.parse_args()
    state = os.path.abspath(args.state)
    if args.action == "start":
        return start(state, args.lifetime, args.access_log, args.root)
    if args.action == "stop":
        return stop(state)
    return run(state, args.lifetime, args.access_log, args.root)


if __name__ == "__main__":
    sys.exit(main())
