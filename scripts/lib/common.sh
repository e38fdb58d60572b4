# Shared settings of the project's scripts.
# Caches that outlive a clone: the mingw libcurl and the Wine prefixes.
export PALLATON_CACHE=${PALLATON_CACHE:-/var/cache/pallaton}
# The headless Wine prefix of the tests (null graphics driver: windows and GDI+ without a display).
export PALLATON_WINEPREFIX=${PALLATON_WINEPREFIX:-$PALLATON_CACHE/wine}

say() { printf '%s: %s\n' "$(basename "$0")" "$*" >&2; }

# apt_update [COMMAND PREFIX...]: apt-get update, tried again when a mirror answers with an index
# it is still writing ("File has unexpected size ... Mirror sync in progress?"). Fails when the last
# try still lacks an index; the lists that did arrive are then in place.
apt_update() {
    local try
    for try in 1 2 3 4; do
        if "$@" apt-get update -q >&2; then return 0; fi
        say "apt-get update failed (try $try of 4)"
        [ "$try" -lt 4 ] && sleep $((try * 10))
    done
    return 1
}

# The CMake argument that names the exact static libcurl of this checkout's build script for a
# mingw-w64 triplet. The link $PALLATON_CACHE/TRIPLET-curl is only a convenience for builds by
# hand: another checkout's setup may point it at a libcurl of another flavour.
mingw_curl_argument() {
    local prefix
    prefix=$("$root/scripts/lib/build-mingw-curl.sh" "$1" | tail -n 1) || return 1
    printf '%s\n' "-DPALLATON_MINGW_CURL_DIR=$prefix"
}

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
# then ends the process at once instead of hanging in winedbg), direct Internet connections, and
# the CJK font under both names of the family the progress window asks for.
wine_prefix_defaults() {
    wine reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' /v Debugger /d '' \
        /f >/dev/null 2>&1
    wine_internet_direct
    local family
    for family in 'Microsoft YaHei' '微软雅黑'; do
        # Wine reads its arguments in the locale's encoding: UTF-8 keeps the Chinese name whole.
        LC_ALL=C.UTF-8 wine reg add 'HKCU\Software\Wine\Fonts\Replacements' /v "$family" \
            /d 'WenQuanYi Micro Hei' /f >/dev/null 2>&1
    done
}

# The Internet Options of the user of WINEPREFIX: direct connections, nothing detected. Without
# them Wine reports automatic detection as on, and a program that follows the user's settings
# would look for a configuration script on the network. DefaultConnectionSettings: 0x46, the
# change counter, the flags (1: direct), three empty strings, 32 bytes of zeros.
wine_internet_direct() {
    local key='HKCU\Software\Microsoft\Windows\CurrentVersion\Internet Settings'
    wine reg add "$key" /v ProxyEnable /t REG_DWORD /d 0 /f >/dev/null 2>&1
    wine reg add "$key\\Connections" /v DefaultConnectionSettings /t REG_BINARY \
        /d "460000000000000001000000$(printf '0%.0s' $(seq 88))" /f >/dev/null 2>&1
}
