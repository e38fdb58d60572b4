#!/usr/bin/env python3
"""A small certificate authority for the https tests and the demo, driving the openssl command.

  test_pki.py root DIR
  test_pki.py servers DIR --root ROOT_PEM

`root` makes DIR/root.pem and DIR/root.key (RSA 2048, CA:TRUE, keyCertSign, CN "Pallaton Test
Root") unless both exist. A build pins that root with -DPALLATON_TRUSTED_CA=DIR/root.pem.

`servers` issues the test servers' certificates into DIR, each as NAME.pem (the leaf alone: every
leaf is signed by a root directly) and NAME.key:
  good        the address 127.0.0.1 and the DNS name localhost, for server authentication, valid
              from yesterday for a year, signed by ROOT_PEM with the key beside it (the same path
              ending in .key);
  expired     the same names and root, valid only from 2020-01-01 to 2020-02-01;
  wrong-host  signed by the same root for elsewhere.invalid only;
  other-root  the same names as good, signed by a second root of DIR, other-root-ca.pem, which
              carries the same name as the test root but a key of its own: a client that matched
              its trusted roots by name alone would take it;
  other-ip    signed by the same root for the address 127.0.0.2, with "127.0.0.1" as a DNS name:
              a client must match a numeric host only with the certificate's addresses.
The names are in the subject alternative names, 127.0.0.1 as an IP address only. What is in place
and still right (issued by this root for the same names, not about to expire) is kept, so a second
call costs a few openssl checks.

Only the openssl command line is used (no Python module beyond the standard library).
"""

import argparse
import datetime
import hashlib
import os
import shutil
import subprocess
import sys
import tempfile

ROOT_NAME = "Pallaton Test Root"
SERVER_NAMES = ["127.0.0.1", "localhost"]
SERVER_NAMES_SAN = "IP:127.0.0.1,DNS:localhost"
WRONG_HOST_SAN = "DNS:elsewhere.invalid"
OTHER_IP_SAN = "IP:127.0.0.2,DNS:127.0.0.1"
# openssl ca's date form: YYYYMMDDHHMMSSZ.
EXPIRED_DATES = ("20200101000000Z", "20200201000000Z")
LEAVES = ("good", "expired", "wrong-host", "other-root", "other-ip")
# The subject alternative names and common name of each leaf.
LEAF_NAMES = {"wrong-host": (WRONG_HOST_SAN, "elsewhere.invalid"),
              "other-ip": (OTHER_IP_SAN, "127.0.0.2")}

# The minimal configuration of `openssl ca`: a database of its own in a temporary folder, any
# subject, and one extension section per kind of certificate.
CA_CONF = """\
[ca]
default_ca = test_ca

[test_ca]
dir = {work}
database = {work}/index.txt
new_certs_dir = {work}
serial = {work}/serial
default_md = sha256
policy = any_policy
unique_subject = no
copy_extensions = none
email_in_dn = no

[any_policy]
commonName = supplied

[req]
distinguished_name = req_name
prompt = no

[req_name]
CN = unused

[root_ext]
basicConstraints = critical, CA:TRUE
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash

[server_ext]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature, keyEncipherment
extendedKeyUsage = serverAuth
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
subjectAltName = {san}
"""


def openssl(*args, cwd=None):
    completed = subprocess.run(["openssl"] + list(args), cwd=cwd, stdin=subprocess.DEVNULL,
                               capture_output=True, text=True, timeout=60)
    if completed.returncode != 0:
        raise RuntimeError("openssl %s failed:\n%s" % (args[0], completed.stderr))
    return completed.stdout


def key_of(pem):
    """The key file of a certificate: its path with .key in place of .pem."""
    return pem[:-4] + ".key" if pem.endswith(".pem") else pem + ".key"


def replace(source, target):
    os.replace(source, target)
    if target.endswith(".key"):
        os.chmod(target, 0o600)


def new_key(path):
    openssl("genpkey", "-algorithm", "RSA", "-pkeyopt", "rsa_keygen_bits:2048", "-out", path)


def utc_offset(days):
    """openssl ca's form of now plus `days` (negative: in the past)."""
    moment = datetime.datetime.now(datetime.timezone.utc) + datetime.timedelta(days=days)
    return moment.strftime("%Y%m%d%H%M%SZ")


def write_ca_conf(work, san=None):
    conf = os.path.join(work, "ca.cnf")
    with open(conf, "w") as f:
        f.write(CA_CONF.format(work=work, san=san or "DNS:unused.invalid"))
    return conf


def new_request(work):
    """A new key and a certificate request for it in `work`: returns their paths."""
    key = os.path.join(work, "key")
    request = os.path.join(work, "csr")
    new_key(key)
    openssl("req", "-new", "-config", write_ca_conf(work), "-key", key, "-out", request)
    return key, request


def sign(work, request, issuer_pem, issuer_key, out, common_name, extensions, san, start, end,
         self_signed=False):
    """Issues one certificate with `openssl ca` from a request, with explicit dates."""
    conf = write_ca_conf(work, san)
    open(os.path.join(work, "index.txt"), "w").close()
    with open(os.path.join(work, "index.txt.attr"), "w") as f:
        f.write("unique_subject = no\n")
    # A random serial, so that no two certificates of one issuer share one across calls.
    with open(os.path.join(work, "serial"), "w") as f:
        f.write("%032X\n" % (int.from_bytes(os.urandom(16), "big") >> 1))
    args = ["ca", "-batch", "-notext", "-config", conf, "-in", request, "-out", out,
            "-keyfile", issuer_key, "-subj", "/CN=" + common_name, "-extensions", extensions,
            "-startdate", start, "-enddate", end]
    args += ["-selfsign"] if self_signed else ["-cert", issuer_pem]
    openssl(*args)


def make_root(directory, name="root", common_name=ROOT_NAME):
    """Makes DIR/NAME.pem and DIR/NAME.key, a root valid from yesterday for ten years, unless
    both exist. Returns the path of the PEM."""
    directory = os.path.abspath(directory)
    pem = os.path.join(directory, name + ".pem")
    key = key_of(pem)
    if os.path.exists(pem) and os.path.exists(key):
        return pem
    os.makedirs(directory, exist_ok=True)
    with tempfile.TemporaryDirectory(prefix="pallaton-pki-") as work:
        new, request = new_request(work)
        sign(work, request, None, new, os.path.join(work, "cert"), common_name, "root_ext", None,
             utc_offset(-1), utc_offset(3650), self_signed=True)
        # The key first: a PEM without its key beside it is made anew on the next call.
        replace(new, key)
        replace(os.path.join(work, "cert"), pem)
    return pem


def valid_for_a_day(pem):
    return subprocess.run(["openssl", "x509", "-in", pem, "-noout", "-checkend", "86400"],
                          stdin=subprocess.DEVNULL, capture_output=True,
                          timeout=60).returncode == 0


def fingerprint(pem):
    with open(pem, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def issue_servers(directory, root_pem):
    """Issues good, expired, wrong-host, other-root and other-ip into DIR (see the module's text)
    and returns {name: (pem, key)}; other-root-ca.pem of DIR is the second root."""
    directory = os.path.abspath(directory)
    root_pem = os.path.abspath(root_pem)
    os.makedirs(directory, exist_ok=True)
    other_root = make_root(directory, "other-root-ca")
    issuers = {"good": root_pem, "expired": root_pem, "wrong-host": root_pem,
               "other-root": other_root, "other-ip": root_pem}
    # What each leaf was issued by, so that a new root (or a PEM rewritten in place) is noticed.
    stamp_path = os.path.join(directory, "issued-by.txt")
    stamps = {}
    if os.path.exists(stamp_path):
        with open(stamp_path) as f:
            stamps = dict(line.rstrip("\n").split("=", 1) for line in f if "=" in line)

    def write_stamps():
        with open(stamp_path + ".part", "w") as f:
            f.writelines("%s=%s\n" % item for item in sorted(stamps.items()))
        os.replace(stamp_path + ".part", stamp_path)

    leaves = {}
    for name in LEAVES:
        pem = os.path.join(directory, name + ".pem")
        leaves[name] = (pem, key_of(pem))
        issuer = issuers[name]
        # The names are part of the stamp: leaves of an older list of names are made anew.
        san, common_name = LEAF_NAMES.get(name, (SERVER_NAMES_SAN, SERVER_NAMES[0]))
        stamp = fingerprint(issuer) + "/" + san
        if (stamps.get(name) == stamp and os.path.exists(pem) and os.path.exists(key_of(pem))
                and (name == "expired" or valid_for_a_day(pem))):
            continue
        # Unstamped while its two files change, so that a pair left half-written is made anew.
        if stamps.pop(name, None) is not None:
            write_stamps()
        with tempfile.TemporaryDirectory(prefix="pallaton-pki-") as work:
            key, request = new_request(work)
            start, end = (EXPIRED_DATES if name == "expired"
                          else (utc_offset(-1), utc_offset(365)))
            sign(work, request, issuer, key_of(issuer), os.path.join(work, "cert"), common_name,
                 "server_ext", san, start, end)
            replace(key, key_of(pem))
            replace(os.path.join(work, "cert"), pem)
        stamps[name] = stamp
        write_stamps()
    return leaves


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("action", choices=["root", "servers"])
    parser.add_argument("directory")
    parser.add_argument("--root", help="the root PEM that signs good, expired, wrong-host and "
                                       "other-ip (its key beside it, ending in .key)")
    args = parser.parse_args()
    if shutil.which("openssl") is None:
        sys.exit("openssl is not installed")
    if args.action == "root":
        print(make_root(args.directory))
        return 0
    if not args.root:
        parser.error("servers needs --root ROOT_PEM")
    for name, (pem, key) in issue_servers(args.directory, args.root).items():
        print("%s=%s %s" % (name, pem, key))
    return 0


if __name__ == "__main__":
    sys.exit(main())
