#!/usr/bin/env python3
"""Signed copies of a fixture program, for the tests of the installers' signer check.

  sign_fixtures.py OUT_DIR PROGRAM KEY_DIR
  sign_fixtures.py pins KEY_DIR

Makes throwaway keys and certificates with openssl in KEY_DIR unless they are there already (a
test root, a second root that no store trusts, two signing keys and a spare key that signs
nothing), and signs copies of PROGRAM with osslsigncode into OUT_DIR:

  good.exe        signed with key 1, certificate of the test root
  other-key.exe   signed with key 2, certificate of the test root
  other-root.exe  signed with key 1, certificate of the other root
  tampered.exe    good.exe with one byte of its code changed after signing
  padded.exe      good.exe with 48 bytes more inside its certificate table
  unsigned.exe    the program as it is

and writes root.pem (the test root, for the machine's store), and pin-key1 and pin-key2 (each the
SHA-256 of the key's SubjectPublicKeyInfo in hexadecimal, as a build pins it). The signed copies
are made anew on each call, in a few seconds; the keys stay, so that a build can pin them.

`pins` makes the keys the same way and prints the pins of a build that a maker would ship with
two keys: the spare key's and key 1's, ';'-separated (key 1 second, so that a build which took
only the first pin would refuse the fixtures).
"""
import hashlib
import os
import shutil
import struct
import subprocess
import sys


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


def make_keys(keys):
    """The keys and certificates of KEY_DIR, made where they are missing; returns their paths."""
    os.makedirs(keys, exist_ok=True)
    made = {
        "root": (os.path.join(keys, "root.key"), os.path.join(keys, "root.pem")),
        "other-root": (os.path.join(keys, "other-root.key"), os.path.join(keys, "other-root.pem")),
    }
    if not all(os.path.exists(p) for pair in made.values() for p in pair):
        make_root(keys, "root", "Pallaton Signing Test Root")
        make_root(keys, "other-root", "Pallaton Untrusted Test Root")
        for name in ("key1", "key2", "key3"):
            make_key(keys, name)
        root_key, root_cert = made["root"]
        other_key, other_cert = made["other-root"]
        key1, key2 = os.path.join(keys, "key1.key"), os.path.join(keys, "key2.key")
        issue_signer(keys, "signer1", key1, root_key, root_cert, "Korvane Test Signer")
        issue_signer(keys, "signer2", key2, root_key, root_cert, "Someone Else")
        issue_signer(keys, "signer1b", key1, other_key, other_cert, "Korvane Test Signer")
    return lambda name: os.path.join(keys, name)


def pad_certificate_table(signed, out, extra=48):
    """A copy of `signed` with `extra` zero bytes inside its certificate table: the table (at the
    file's end) and its size in the security directory grow, its entry does not. The signature's
    digest leaves the table out, so the signature itself still holds."""
    with open(signed, "rb") as f:
        data = bytearray(f.read())
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    optional = pe + 24
    magic = struct.unpack_from("<H", data, optional)[0]
    directories = optional + (96 if magic == 0x10B else 112)
    entry = directories + 4 * 8  # the security directory: file offset and size
    offset, size = struct.unpack_from("<II", data, entry)
    if offset + size != len(data):
        raise SystemExit("%s: the certificate table is not at the end of the file" % signed)
    struct.pack_into("<II", data, entry, offset, size + extra)
    with open(out, "wb") as f:
        f.write(data + bytes(extra))


def main():
    if len(sys.argv) == 3 and sys.argv[1] == "pins":
        key = make_keys(sys.argv[2])
        print("%s;%s" % (pin_of(key("key3.key")), pin_of(key("key1.key"))))
        return 0
    if len(sys.argv) != 4:
        print(__doc__, file=sys.stderr)
        return 2
    out, program = sys.argv[1], sys.argv[2]
    key = make_keys(sys.argv[3])
    os.makedirs(out, exist_ok=True)
    key1, key2 = key("key1.key"), key("key2.key")
    sign(program, os.path.join(out, "good.exe"), key("signer1.pem"), key1)
    sign(program, os.path.join(out, "other-key.exe"), key("signer2.pem"), key2)
    sign(program, os.path.join(out, "other-root.exe"), key("signer1b.pem"), key1)
    shutil.copyfile(program, os.path.join(out, "unsigned.exe"))
    # One byte of the code, well inside the signed content.
    with open(os.path.join(out, "good.exe"), "rb") as f:
        data = bytearray(f.read())
    data[len(data) // 3] ^= 0x01
    with open(os.path.join(out, "tampered.exe"), "wb") as f:
        f.write(data)
    pad_certificate_table(os.path.join(out, "good.exe"), os.path.join(out, "padded.exe"))
    shutil.copyfile(key("root.pem"), os.path.join(out, "root.pem"))
    for name, private in (("pin-key1", key1), ("pin-key2", key2)):
        with open(os.path.join(out, name), "w") as f:
            f.write(pin_of(private) + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
