# Shared settings of the project's scripts.
# Caches that outlive a clone: the mingw libcurl and the Wine prefixes.
export PALLATON_CACHE=${PALLATON_CACHE:-/var/cache/pallaton}
# The headless Wine prefix of the tests (null graphics driver: windows and GDI+ without a display).
export PALLATON_WINEPREFIX=${PALLATON_WINEPREFIX:-$PALLATON_CACHE/wine}

say() { printf '%s: %s\n' "$(basename "$0")" "$*" >&2; }

# Starts a persistent wineserver for the prefix and one warm-up process, so that services that
# the first Wine process starts do not inherit (and hold open) the output of a test.
wine_start() {
    export WINEPREFIX=$PALLATON_WINEPREFIX WINEDEBUG=-all
    wineserver -p >/dev/null 2>&1 || true
    wine cmd /c exit 0 >/dev/null 2>&1 </dev/null || true
}

wine_stop() {
    WINEPREFIX=$PALLATON_WINEPREFIX wineserver -k >/dev/null 2>&1 || true
}
