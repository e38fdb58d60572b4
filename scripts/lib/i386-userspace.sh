#!/usr/bin/env bash
# Makes 32-bit Linux programs (the loader of Debian's 32-bit Wine) runnable. Some kernels are
# built or booted without IA-32 emulation: they refuse i386 programs with "Exec format error".
# There, Debian's qemu-user-static (from bookworm-backports: its newer user-mode emulator starts a
# 32-bit Wine process in well under a second, where bookworm's takes about a minute) is registered
# with binfmt_misc as the interpreter of i386 programs. Nothing is done where i386 programs run.
set -euo pipefail
. "$(dirname "$0")/common.sh"

runs_i386() { /lib/ld-linux.so.2 --version >/dev/null 2>&1; }

runs_i386 && exit 0
[ -e /lib/ld-linux.so.2 ] || { say "no 32-bit loader: install libc6:i386 first"; exit 1; }

as_root() {
    if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

min_qemu=8.0
qemu=/usr/bin/qemu-i386-static
qemu_version() { "$qemu" --version 2>/dev/null | sed -n 's/.*version \([0-9.]*\).*/\1/p' | head -n 1; }
if [ ! -x "$qemu" ] || dpkg --compare-versions "$(qemu_version)" lt "$min_qemu"; then
    source_file=/etc/apt/sources.list.d/pallaton-bookworm-backports.sources
    if [ ! -f "$source_file" ] && ! grep -rqs bookworm-backports /etc/apt/sources.list /etc/apt/sources.list.d; then
        say "adding Debian's bookworm-backports for qemu-user-static"
        as_root tee "$source_file" >/dev/null <<'SOURCES'
# Added by pallaton scripts/lib/i386-userspace.sh for a newer qemu-user-static.
Types: deb
URIs: http://deb.debian.org/debian
Suites: bookworm-backports
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SOURCES
    fi
    say "installing qemu-user-static from bookworm-backports"
    apt_update as_root || say "going on with the package lists that did arrive"
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends \
        -t bookworm-backports qemu-user-static >&2
fi

binfmt=/proc/sys/fs/binfmt_misc
if [ ! -e "$binfmt/register" ]; then
    as_root mount -t binfmt_misc binfmt_misc "$binfmt"
fi
# F: the kernel opens the interpreter now, so it works in every mount namespace and chroot.
if [ -e "$binfmt/qemu-i386" ]; then
    echo -1 | as_root tee "$binfmt/qemu-i386" >/dev/null
fi
magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
mask='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
printf '%s' ":qemu-i386:M::$magic:$mask:$qemu:F" | as_root tee "$binfmt/register" >/dev/null
runs_i386 || { say "i386 programs still do not run after registering $qemu"; exit 1; }
say "i386 programs run through $qemu ($(qemu_version))"
