#!/usr/bin/env bash
# Creates the Wine prefix of the screenshot tests once: Wine's X11 graphics driver (the tests'
# prefix uses the null driver and has no windows on a screen), no debugger on a crash, and the
# CJK font mapped for the progress window's texts. The prefix is made under a private Xvfb when
# no display is given.
set -euo pipefail
. "$(dirname "$0")/common.sh"

prefix=${PALLATON_WINE_X11_PREFIX:-$PALLATON_CACHE/wine-x11}
[ -f "$prefix/.pallaton-complete" ] && exit 0

say "creating the Wine prefix $prefix"
rm -rf "$prefix"
mkdir -p "$(dirname "$prefix")"

xvfb_pid=
cleanup() {
    WINEPREFIX=$prefix wineserver -k >/dev/null 2>&1 || true
    if [ -n "$xvfb_pid" ]; then kill "$xvfb_pid" 2>/dev/null || true; fi
    rm -f "${display_file:-}"
}
trap cleanup EXIT
if [ -z "${DISPLAY:-}" ]; then
    display_file=$(mktemp)
    Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$display_file" >/dev/null 2>&1 &
    xvfb_pid=$!
    for _ in $(seq 100); do [ -s "$display_file" ] && break; sleep 0.1; done
    export DISPLAY=":$(cat "$display_file")"
fi

export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
wineboot -i >/dev/null 2>&1 </dev/null
wine_prefix_defaults
wineserver -w
touch "$prefix/.pallaton-complete"
