#!/usr/bin/env python3
"""Signed copies of a fixture program, for the tests of the installers' signer check.

  sign_fixtures.py OUT_DIR PROGRAM

Makes throwaway keys and certificates with openssl (a test root, a second root that no store
trusts, two signing keys) and signs copies of PROGRAM with osslsigncode into OUT_DIR:

  good.exe        signed with key 1, certificate of the test root
  other-key.exe   signed with key 2, certificate of the test root
  other-root.exe  signed with key 1, certificate of the other root
  tampered.exe    good.exe with one byte of its code changed after signing
  unsigned.exe    the program as it is

and writes root.pem (the test root, for the machine's store), and pin-key1 and pin-key2 (each the
SHA-256 of the key's SubjectPublicKeyInfo in hexadecimal, as a build pins it). Everything is made
anew on each call, in a few seconds.
"""
import hashlib
import os
import shutil
import subprocess
import sys
import tempfile


def run(*args, **kwargs):
    subprocess.run(args, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, **kwargs)


def make_root(folder, name, subject):
    key, cert = os.path.join(folder, name + ".key"), os.path.join(folder, name + ".pem")
    run("openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", cert,
        "-days", "3650", "-subj", "/CN=" + subject,
        "-addext", "basicConstraints=critical,CA:TRUE",
        "-addext", "keyUsage=critical,keyCertSign,cRLSign")
    return key, cert


def make_key(folder, name):
    key = os.path.join(folder, name + ".key")
    run("openssl", "genrsa", "-out", key, "2048")
    return key


def issue_signer(folder, name, key, root_key, root_cert, subject):
    csr, cert = os.path.join(folder, name + ".csr"), os.path.join(folder, name + ".pem")
    ext = os.path.join(folder, name + ".ext")
    with open(ext, "w") as f:
        f.write("basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\n"
                "extendedKeyUsage=codeSigning\n")
    run("openssl", "req", "-new", "-key", key, "-out", csr, "-subj", "/CN=" + subject)
    run("openssl", "x509", "-req", "-in", csr, "-CA", root_cert, "-CAkey", root_key,
        "-CAcreateserial", "-out", cert, "-days", "825", "-extfile", ext)
    return cert


def pin_of(key):
    """SHA-256 of the DER SubjectPublicKeyInfo of a private key's public half."""
    der = subprocess.run(["openssl", "pkey", "-in", key, "-pubout", "-outform", "DER"],
                         check=True, capture_output=True).stdout
    return hashlib.sha256(der).hexdigest()


def sign(program, out, cert, key):
    if os.path.exists(out):
        os.unlink(out)
    run("osslsigncode", "sign", "-certs", cert, "-key", key, "-h", "sha256", "-n",
        "Pallaton test installer", "-in", program, "-out", out)


def main():
    if len(sys.argv) != 3:
        print(__doc__, file=sys.stderr)
        return 2
    out, program = sys.argv[1], sys.argv[2]
    os.makedirs(out, exist_ok=True)
    with tempfile.TemporaryDirectory() as work:
        root_key, root_cert = make_root(work, "root", "Pallaton Signing Test Root")
        other_key, other_cert = make_root(work, "other-root", "Pallaton Untrusted Test Root")
        key1, key2 = make_key(work, "key1"), make_key(work, "key2")
        cert1 = issue_signer(work, "signer1", key1, root_key, root_cert, "Korvane Test Signer")
        cert2 = issue_signer(work, "signer2", key2, root_key, root_cert, "Someone Else")
        cert1b = issue_signer(work, "signer1b", key1, other_key, other_cert,
                              "Korvane Test Signer")
        sign(program, os.path.join(out, "good.exe"), cert1, key1)
        sign(program, os.path.join(out, "other-key.exe"), cert2, key2)
        sign(program, os.path.join(out, "other-root.exe"), cert1b, key1)
        shutil.copyfile(program, os.path.join(out, "unsigned.exe"))
        # One byte of the code, well inside the signed content.
        with open(os.path.join(out, "good.exe"), "rb") as f:
            data = bytearray(f.read())
        data[len(data) // 3] ^= 0x01
        with open(os.path.join(out, "tampered.exe"), "wb") as f:
            f.write(data)
        shutil.copyfile(root_cert, os.path.join(out, "root.pem"))
        for name, key in (("pin-key1", key1), ("pin-key2", key2)):
            with open(os.path.join(out, name), "w") as f:
                f.write(pin_of(key) + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
