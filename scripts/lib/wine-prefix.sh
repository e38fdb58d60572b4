#!/usr/bin/env bash
# Creates the headless Wine prefix of the tests once: the null graphics driver, no debugger on a
# crash (a crash then ends the process at once instead of hanging), and the CJK font mapped for
# the progress window's texts.
set -euo pipefail
. "$(dirname "$0")/common.sh"

prefix=$PALLATON_WINEPREFIX
if [ -f "$prefix/.pallaton-complete" ]; then
    # A prefix made before its Internet Options were set gets them once.
    if [ ! -f "$prefix/.pallaton-internet-direct" ]; then
        WINEPREFIX=$prefix WINEDEBUG=-all wine_internet_direct
        touch "$prefix/.pallaton-internet-direct"
    fi
    exit 0
fi

say "creating the Wine prefix $prefix"
rm -rf "$prefix"
mkdir -p "$(dirname "$prefix")"
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
wineboot -i >/dev/null 2>&1 </dev/null
wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1
wine_prefix_defaults
wineserver -w
touch "$prefix/.pallaton-internet-direct" "$prefix/.pallaton-complete"
