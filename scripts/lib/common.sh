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

# Settings every test prefix gets, in the prefix of WINEPREFIX: no debugger on a crash (a crash
# then ends the process at once instead of hanging in winedbg), and the CJK font under both
# names of the family the progress window asks for.
wine_prefix_defaults() {
    wine reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' /v Debugger /d '' \
        /f >/dev/null 2>&1
    local family
    for family in 'Microsoft YaHei' '微软雅黑'; do
        # Wine reads its arguments in the locale's encoding: UTF-8 keeps the Chinese name whole.
        LC_ALL=C.UTF-8 wine reg add 'HKCU\Software\Wine\Fonts\Replacements' /v "$family" \
            /d 'WenQuanYi Micro Hei' /f >/dev/null 2>&1
    done
}
