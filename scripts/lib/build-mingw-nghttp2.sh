#!/usr/bin/env bash
# build-mingw-nghttp2.sh - build a static libnghttp2 (the HTTP/2 library only)
# for a mingw-w64 triplet (x86_64-w64-mingw32 or i686-w64-mingw32) from
# Debian's nghttp2 source package, once per machine and triplet, into a cache
# outside the repository. build-mingw-curl.sh links libcurl against it.
#
# Usage:   prefix=$(scripts/lib/build-mingw-nghttp2.sh [TRIPLET] | tail -n1)
#
# TRIPLET defaults to x86_64-w64-mingw32.  The last (and only) line on stdout is
# the install prefix
#   $PALLATON_CACHE/<triplet>-nghttp2-<debian source version>
# which holds include/nghttp2/*.h, lib/libnghttp2.a, lib/pkgconfig/libnghttp2.pc,
# BUILDINFO and the stamp .complete.  Everything else goes to stderr.
#
# Compile a consumer with -DNGHTTP2_STATICLIB (otherwise nghttp2.h declares its
# functions as imported from a DLL).
#
# Environment:
#   PALLATON_CACHE             cache root (default /var/cache/pallaton)
#   PALLATON_NGHTTP2_VERSION   use/build exactly this Debian source version
#                              (default: any complete cache entry, else whatever
#                              `apt-get source nghttp2` fetches)
#   PALLATON_NGHTTP2_REFRESH=1 ignore existing entries unless they match the
#                              version apt offers now
#   PALLATON_CURL_JOBS         make -j value (default 2)
#   PALLATON_KEEP_WORK=1       keep the temporary work folder (debugging)
set -euo pipefail
umask 022

# Keep stdout for the final prefix only; everything else goes to stderr.
exec 3>&1 1>&2

readonly HOST=${1:-x86_64-w64-mingw32}
case $HOST in
    x86_64-w64-mingw32 | i686-w64-mingw32) ;;
    *) printf 'build-mingw-nghttp2: unknown triplet %s\n' "$HOST" >&2; exit 2 ;;
esac
readonly NAME=$HOST-nghttp2
readonly CC_BIN=${HOST}-gcc-posix
readonly CACHE_ROOT=${PALLATON_CACHE:-/var/cache/pallaton}
readonly WANT_VERSION=${PALLATON_NGHTTP2_VERSION:-}
readonly JOBS=${PALLATON_CURL_JOBS:-2}
readonly REFRESH=${PALLATON_NGHTTP2_REFRESH:-0}

log() { printf 'build-mingw-nghttp2: %s\n' "$*" >&2; }
die() { log "error: $*"; exit 1; }
emit_prefix() { printf '%s\n' "$1" >&3; }

# shellcheck source=mingw-source-build.sh
. "$(dirname "${BASH_SOURCE[0]}")/mingw-source-build.sh"

if [[ $REFRESH != 1 ]]; then
    prefix=$(find_complete_prefix)
    if [[ -n $prefix ]]; then
        emit_prefix "$prefix"
        exit 0
    fi
fi

SECONDS=0
step() { log "[$((SECONDS))s] $*"; }

for tool in apt-get apt-config dpkg-source patch make cmake flock "$CC_BIN"; do
    command -v "$tool" >/dev/null 2>&1 \
        || die "'$tool' not found (needs Debian packages: gcc-mingw-w64-x86-64-posix cmake dpkg-dev make patch util-linux)"
done
[[ $JOBS =~ ^[1-9][0-9]*$ ]] || die "PALLATON_CURL_JOBS must be a positive integer, got '$JOBS'"

begin_build "$REFRESH"
ensure_deb_src
fetch_debian_source nghttp2 "$WANT_VERSION"
prefix=$CACHE_ROOT/$NAME-$version
log "Debian source version: $version -> $prefix"
if [[ -f $prefix/.complete ]]; then
    log "already built: $prefix"
    emit_prefix "$prefix"
    exit 0
fi

src=$work/src
unpack_debian_source "$src"
[[ -f $src/CMakeLists.txt ]] || die "no CMakeLists.txt in $src"

# Debian's source of nghttp2 is the upstream tree without a generated configure
# script (Debian runs autoreconf); its CMake build needs no autotools. The
# library alone: no programs, no examples, no documentation.
cc_version=$("$CC_BIN" --version | head -n1)
conf_args=(
    -G "Unix Makefiles"
    -DCMAKE_SYSTEM_NAME=Windows
    -DCMAKE_C_COMPILER="$CC_BIN"
    -DCMAKE_CXX_COMPILER="${HOST}-g++-posix"
    -DCMAKE_BUILD_TYPE=Release
    -DCMAKE_C_FLAGS_RELEASE="-O2 -pipe -DNDEBUG"
    -DCMAKE_FIND_ROOT_PATH="/usr/$HOST"
    -DCMAKE_FIND_ROOT_PATH_MODE_PROGRAM=NEVER
    -DCMAKE_FIND_ROOT_PATH_MODE_LIBRARY=ONLY
    -DCMAKE_FIND_ROOT_PATH_MODE_INCLUDE=ONLY
    -DCMAKE_FIND_ROOT_PATH_MODE_PACKAGE=ONLY
    -DCMAKE_INSTALL_PREFIX="$prefix"
    -DCMAKE_INSTALL_LIBDIR=lib
    -DENABLE_LIB_ONLY=ON
    -DENABLE_STATIC_LIB=ON
    -DENABLE_SHARED_LIB=OFF
    -DENABLE_DOC=OFF
    -DENABLE_FAILMALLOC=OFF
    -DENABLE_HTTP3=OFF
    # winpthreads has clock_gettime, Windows has GetTickCount64: with both, nghttp2_time.c of
    # this version calls a fallback it did not define. The monotonic GetTickCount64 it is.
    -DHAVE_CLOCK_GETTIME=0
)

step "cmake ($cc_version)"
run_logged "$work/configure.log" env -u CFLAGS -u CPPFLAGS -u LDFLAGS PKG_CONFIG_LIBDIR=/nonexistent PKG_CONFIG_PATH= \
    cmake -S "$src" -B "$work/build" "${conf_args[@]}" \
    || die "cmake failed (full log kept only with PALLATON_KEEP_WORK=1)"

step "make -j$JOBS nghttp2_static"
run_logged "$work/make.log" cmake --build "$work/build" -j "$JOBS" --target nghttp2_static \
    || die "building libnghttp2 failed"

stage=$work/stage
step "installing into staging folder"
staged=$stage$prefix
mkdir -p "$staged/lib/pkgconfig" "$staged/include/nghttp2"
shopt -s nullglob
archives=("$work"/build/lib/libnghttp2*.a)
shopt -u nullglob
((${#archives[@]} == 1)) || die "expected one libnghttp2*.a in $work/build/lib, found ${#archives[@]}"
cp "${archives[0]}" "$staged/lib/libnghttp2.a"
cp "$src"/lib/includes/nghttp2/nghttp2.h "$work"/build/lib/includes/nghttp2/nghttp2ver.h \
    "$staged/include/nghttp2/" || die "the headers of libnghttp2 are missing"
cp "$work/build/lib/libnghttp2.pc" "$staged/lib/pkgconfig/" || die "libnghttp2.pc is missing"
[[ -f $staged/lib/libnghttp2.a && -f $staged/include/nghttp2/nghttp2.h ]] \
    || die "install did not produce lib/libnghttp2.a and include/nghttp2/nghttp2.h"

# Sanity link (no Wine needed): every member of the archive, so that each one's references
# resolve.
step "test link"
cat >"$work/linktest.c" <<'EOF'
#include <nghttp2/nghttp2.h>
int main(void) {
    nghttp2_session_callbacks *callbacks = 0;
    if (nghttp2_session_callbacks_new(&callbacks) != 0)
        return 1;
    nghttp2_session_callbacks_del(callbacks);
    return nghttp2_version(0) == 0;
}
EOF
run_logged "$work/linktest.log" "$CC_BIN" -DNGHTTP2_STATICLIB -I"$staged/include" "$work/linktest.c" \
    -Wl,--whole-archive "$staged/lib/libnghttp2.a" -Wl,--no-whole-archive -static \
    -o "$work/linktest.exe" \
    || die "test program does not link against the new libnghttp2.a"

cat >"$staged/BUILDINFO" <<EOF
# Written by pallaton scripts/lib/build-mingw-nghttp2.sh (shell-sourceable).
NGHTTP2_DEBIAN_VERSION='$version'
NGHTTP2_HOST='$HOST'
NGHTTP2_CC_VERSION='$cc_version'
NGHTTP2_DEBIAN_PATCHES_APPLIED='$napplied'
NGHTTP2_CPPFLAGS='-DNGHTTP2_STATICLIB -I$prefix/include'
NGHTTP2_LIBRARY='$prefix/lib/libnghttp2.a'
NGHTTP2_CONFIGURE_ARGS='--prefix=$prefix ${conf_args[*]}'
NGHTTP2_BUILT_AT='$(date -u +%Y-%m-%dT%H:%M:%SZ)'
EOF

publish_build "$staged" "$prefix"
step "done: $prefix"
emit_prefix "$prefix"
