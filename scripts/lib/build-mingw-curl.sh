#!/usr/bin/env bash
# build-mingw-curl.sh - build a static libcurl with Schannel (TLS), SSPI and
# HTTP/2 (nghttp2, built by build-mingw-nghttp2.sh) for a mingw-w64 triplet
# (x86_64-w64-mingw32 or i686-w64-mingw32) from Debian's curl source package,
# with the patches of mingw-curl-patches/ applied after Debian's, once per
# machine and triplet, into a cache outside the repository.
#
# Usage:   prefix=$(scripts/lib/build-mingw-curl.sh [TRIPLET] | tail -n1)
#
# TRIPLET defaults to x86_64-w64-mingw32.  The last (and only) line on stdout is
# the install prefix
#   $PALLATON_CACHE/<triplet>-curl-schannel-h2-<patches>-<debian source version>
# (<patches>: the first 8 hex digits of the SHA-256 of our patches) which holds
# include/curl/*.h, lib/libcurl.a, lib/libnghttp2.a, lib/pkgconfig/libcurl.pc,
# bin/curl-config, BUILDINFO (shell-sourceable: CURL_CPPFLAGS, CURL_LDLIBS, ...)
# and the stamp .complete.  Everything else goes to stderr.
#
# Link a consumer with (secur32 is loaded at run time):
#   <triplet>-gcc-posix -DCURL_STATICLIB -I$prefix/include ... \
#       $prefix/lib/libcurl.a $prefix/lib/libnghttp2.a -lws2_32 -lcrypt32 \
#       -lbcrypt -ladvapi32 -lpthread
#
# Environment:
#   PALLATON_CACHE          cache root (default /var/cache/pallaton)
#   PALLATON_CURL_VERSION   use/build exactly this Debian source version
#                           (default: any complete cache entry, else whatever
#                           `apt-get source curl` fetches)
#   PALLATON_CURL_REFRESH=1 ignore existing entries unless they match the
#                           version apt offers now (picks up Debian updates)
#   PALLATON_CURL_JOBS      make -j value (default 2; the machines have 2 cores)
#   PALLATON_KEEP_WORK=1    keep the temporary work folder (debugging)
#
# Needs: gcc-mingw-w64-{x86-64,i686}-posix, dpkg-dev, make, patch; root only when a
# deb-src entry has to be added (and, for the default cache root, to write it).
set -euo pipefail
umask 022

# Keep stdout for the final prefix only; everything else goes to stderr.
exec 3>&1 1>&2

readonly HOST=${1:-x86_64-w64-mingw32}
case $HOST in
    x86_64-w64-mingw32 | i686-w64-mingw32) ;;
    *) printf 'build-mingw-curl: unknown triplet %s\n' "$HOST" >&2; exit 2 ;;
esac
# Each triplet has its own entries, lock and configure cache. The name carries the TLS backend,
# HTTP/2 and our patches, so that an older build in the same cache (HTTP-only, without nghttp2,
# or with other patches) is never taken for this one.
PATCH_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/mingw-curl-patches
readonly PATCH_DIR
PATCHES_ID=$(cat "$PATCH_DIR"/*.patch | sha256sum | cut -c1-8)
readonly PATCHES_ID
readonly NAME=$HOST-curl-schannel-h2-$PATCHES_ID
readonly CC_BIN=${HOST}-gcc-posix
readonly CACHE_ROOT=${PALLATON_CACHE:-/var/cache/pallaton}
readonly WANT_VERSION=${PALLATON_CURL_VERSION:-}
readonly JOBS=${PALLATON_CURL_JOBS:-2}
# Debian applies these two only to build its libcurl3-gnutls/libcurl3-nss
# flavours (they rename the library); the main libcurl4 build leaves them out.
readonly FLAVOUR_PATCHES=" 90_gnutls.patch 99_nss.patch "

log() { printf 'build-mingw-curl: %s\n' "$*" >&2; }
die() { log "error: $*"; exit 1; }

emit_prefix() { printf '%s\n' "$1" >&3; }

# The cache entries, their lock and publication; Debian's source packages.
# shellcheck source=mingw-source-build.sh
. "$(dirname "${BASH_SOURCE[0]}")/mingw-source-build.sh"

# ---------------------------------------------------------------------------
# Fast path: a complete cache entry exists -> print it, no apt, no lock.
# ---------------------------------------------------------------------------
if [[ ${PALLATON_CURL_REFRESH:-0} != 1 ]]; then
    prefix=$(find_complete_prefix)
    if [[ -n $prefix ]]; then
        emit_prefix "$prefix"
        exit 0
    fi
fi

# ---------------------------------------------------------------------------
# Slow path.
# ---------------------------------------------------------------------------
SECONDS=0
step() {
    log "[$((SECONDS))s] $*"
}

for tool in apt-get apt-config dpkg-source patch make flock "$CC_BIN" "${HOST}-nm"; do
    command -v "$tool" >/dev/null 2>&1 \
        || die "'$tool' not found (needs Debian packages: gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 dpkg-dev make patch util-linux)"
done
[[ $JOBS =~ ^[1-9][0-9]*$ ]] || die "PALLATON_CURL_JOBS must be a positive integer, got '$JOBS'"

begin_build "${PALLATON_CURL_REFRESH:-0}"

ensure_deb_src
fetch_debian_source curl "$WANT_VERSION"
prefix=$CACHE_ROOT/$NAME-$version
log "Debian source version: $version -> $prefix"

if [[ -f $prefix/.complete ]]; then
    log "already built: $prefix"
    emit_prefix "$prefix"
    exit 0
fi

src=$work/src
# Debian's flavour patches stay out.
unpack_debian_source "$src" "$FLAVOUR_PATCHES"

# Our fixes of Schannel, taken from later libcurl releases (each file names its commit).
npatches=0
for p in "$PATCH_DIR"/*.patch; do
    patch -d "$src" -p1 --forward --batch --silent --fuzz=0 --no-backup-if-mismatch \
        <"$p" >>"$work/patches.log" 2>&1 \
        || { tail -n 20 "$work/patches.log" >&2; die "our patch '${p##*/}' does not apply"; }
    npatches=$((npatches + 1))
done
log "applied $npatches patches of mingw-curl-patches/"

# HTTP/2: the static libnghttp2 of this triplet (built once and cached, like libcurl).
nghttp2_prefix=$("$(dirname "${BASH_SOURCE[0]}")/build-mingw-nghttp2.sh" "$HOST" | tail -n 1)
[[ -f $nghttp2_prefix/lib/libnghttp2.a ]] || die "build-mingw-nghttp2.sh gave no libnghttp2.a"
nghttp2_version=${nghttp2_prefix##*/"$HOST"-nghttp2-}

# ---------------------------------------------------------------------------
# Configure (upstream script).
# ---------------------------------------------------------------------------
cd "$src"
[[ -x configure ]] || die "no upstream configure script in $src"
configure_help=$(./configure --help)

conf_args=(
    --host="$HOST"
    --disable-shared --enable-static
    --disable-dependency-tracking
    --disable-maintainer-mode
    --enable-http
    # TLS and the proxy's logon through the system: Schannel brings SSPI with it.
    --with-schannel --without-openssl --without-gnutls
    --without-zlib --without-brotli --without-zstd
    --without-libpsl --without-libidn2 --with-nghttp2="$nghttp2_prefix" --without-librtmp
    --without-libssh2
    --disable-ldap --disable-ldaps --disable-rtsp --disable-dict
    --disable-telnet --disable-tftp --disable-pop3 --disable-imap --disable-smb
    --disable-smtp --disable-gopher --disable-mqtt --disable-ftp --disable-file
    --disable-manual --disable-ntlm-wb
    # Threaded resolver (winpthreads with the -posix toolchain): needed so that
    # CURLOPT_CONNECTTIMEOUT also bounds name resolution with CURLOPT_NOSIGNAL.
    --enable-threaded-resolver
)
# Options that only exist in some curl versions, or that merely skip probes:
# pass them only if this configure knows them (unknown ones just warn).
configure_knows() { # --without-foo | --disable-foo
    local name=${1#--} kinds=enable\|disable
    name=${name#*-}
    [[ $1 == --with* ]] && kinds=with\|without
    grep -qE -- "--($kinds)-$name([^A-Za-z0-9_-]|\$)" <<<"$configure_help"
}
for opt in --disable-docs --without-libssh --without-wolfssh --without-gssapi \
           --without-libgsasl --without-hyper --without-quiche --without-msh3 \
           --without-ngtcp2 --without-nghttp3 --without-winidn \
           --without-ca-bundle --without-ca-path --without-ca-fallback; do
    if configure_knows "$opt"; then conf_args+=("$opt"); else log "configure does not know $opt; skipped"; fi
done

cc_version=$("$CC_BIN" --version | head -n1)
# Fixed environment: nothing from the caller's CFLAGS/LIBS or the build
# machine's pkg-config files leaks into a cross build.
# NGHTTP2_STATICLIB: nghttp2.h declares its functions imported from a DLL without it.
conf_env=(CC="$CC_BIN" CFLAGS="-O2 -pipe" CPPFLAGS="-DNGHTTP2_STATICLIB" LDFLAGS= LIBS=
          PKG_CONFIG_LIBDIR=/nonexistent PKG_CONFIG_PATH=)

# Config cache, kept across runs (keyed by configure script, arguments and
# compiler; not the prefix, which has the version in it), so a rebuild for a new Debian revision skips the cacheable probes.
key=$( { sha256sum configure; printf '%s\n' "${conf_args[@]}" "${conf_env[@]}" "$cc_version"; } \
       | sha256sum | cut -c1-16)
persist_cache=$CACHE_ROOT/.$NAME-config-$key.cache
if [[ -s $persist_cache ]]; then
    cp "$persist_cache" "$work/config.cache"
    log "seeding configure with $persist_cache"
fi

step "configure ($cc_version)"
if ! run_logged "$work/configure.log" env "${conf_env[@]}" ./configure --cache-file="$work/config.cache" --prefix="$prefix" "${conf_args[@]}"; then
    if [[ -s $persist_cache ]]; then
        log "configure failed with a seeded cache; retrying from scratch"
        rm -f "$persist_cache" "$work/config.cache"
        run_logged "$work/configure.log" env "${conf_env[@]}" ./configure --cache-file="$work/config.cache" --prefix="$prefix" "${conf_args[@]}" \
            || die "configure failed (full log kept only with PALLATON_KEEP_WORK=1)"
    else
        die "configure failed (full log kept only with PALLATON_KEEP_WORK=1)"
    fi
fi
sed -n '/^configure: Configured to build curl/,$p' "$work/configure.log" \
    | grep -E 'Protocols|Features|resolver|SSL:|LIBS:' | sed 's/^ */    /' >&2 || true
grep -q 'USE_THREADS_\(POSIX\|WIN32\) 1' lib/curl_config.h \
    || die "configure did not enable the threaded resolver (CURLOPT_CONNECTTIMEOUT would not cover DNS)"
grep -q 'USE_SCHANNEL 1' lib/curl_config.h || die "configure did not enable Schannel (no https)"
grep -q 'USE_WINDOWS_SSPI 1' lib/curl_config.h || die "configure did not enable SSPI (no proxy logon)"
grep -q 'USE_NGHTTP2 1' lib/curl_config.h || die "configure did not enable nghttp2 (no HTTP/2)"

# ---------------------------------------------------------------------------
# Build and stage.
# ---------------------------------------------------------------------------
step "make -C lib -j$JOBS"
run_logged "$work/make.log" make -C lib -j"$JOBS" V=0 || die "building libcurl failed"

stage=$work/stage
step "installing into staging folder"
run_logged "$work/install.log" make -C lib install DESTDIR="$stage" || die "make -C lib install failed"
run_logged "$work/install-include.log" make -C include install DESTDIR="$stage" || die "make -C include install failed"
run_logged "$work/install-extra.log" make install-pkgconfigDATA install-binSCRIPTS DESTDIR="$stage" \
    || die "installing libcurl.pc/curl-config failed"
staged=$stage$prefix
rm -f "$staged"/lib/libcurl.la   # libtool archive: useless here, and names $work

[[ -f $staged/lib/libcurl.a && -f $staged/include/curl/curl.h ]] \
    || die "install did not produce lib/libcurl.a and include/curl/curl.h"
# The entry holds the libnghttp2 it was built with, so a consumer needs nothing else.
cp "$nghttp2_prefix/lib/libnghttp2.a" "$staged/lib/libnghttp2.a"

libcurl_libs=$(sed -n 's/^LIBCURL_LIBS = //p' lib/Makefile)
[[ -n $libcurl_libs ]] || die "could not read LIBCURL_LIBS from lib/Makefile"
# winpthreads: the resolver thread uses pthread_create.
ldlibs="-L$prefix/lib $libcurl_libs"
grep -q 'USE_THREADS_POSIX 1' lib/curl_config.h && ldlibs+=" -lpthread"

# Sanity link (no Wine needed): proves the archive and the flags are complete.
step "test link"
cat >"$work/linktest.c" <<'EOF'
#include <curl/curl.h>
int main(void) {
    CURL *h = curl_easy_init();
    curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT, 1L);
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(h, CURLOPT_SSL_OPTIONS, (long)CURLSSLOPT_REVOKE_BEST_EFFORT);
    curl_easy_cleanup(h);
    return curl_version() == 0;
}
EOF
# shellcheck disable=SC2086  # ldlibs is a list of flags
run_logged "$work/linktest.log" "$CC_BIN" -DCURL_STATICLIB -I"$staged/include" "$work/linktest.c" \
    "$staged/lib/libcurl.a" -L"$staged/lib" $ldlibs -static -o "$work/linktest.exe" \
    || die "test program does not link against the new libcurl.a"

curl_features=$(sed -n 's/^ *Features: *//p' "$work/configure.log" | tail -n1)
cat >"$staged/BUILDINFO" <<EOF
# Written by pallaton scripts/lib/build-mingw-curl.sh (shell-sourceable).
CURL_DEBIAN_VERSION='$version'
CURL_HOST='$HOST'
CURL_CC='$CC_BIN'
CURL_CC_VERSION='$cc_version'
CURL_FEATURES='$curl_features'
CURL_DEBIAN_PATCHES_APPLIED='$napplied'
CURL_OUR_PATCHES='$(cd "$PATCH_DIR" && echo *.patch)'
CURL_NGHTTP2_DEBIAN_VERSION='$nghttp2_version'
CURL_CPPFLAGS='-DCURL_STATICLIB -I$prefix/include'
CURL_LIBRARY='$prefix/lib/libcurl.a'
CURL_NGHTTP2_LIBRARY='$prefix/lib/libnghttp2.a'
CURL_LDLIBS='$ldlibs'
CURL_CONFIGURE_ARGS='--prefix=$prefix ${conf_args[*]}'
CURL_BUILT_AT='$(date -u +%Y-%m-%dT%H:%M:%SZ)'
EOF

publish_build "$staged" "$prefix"

# Keep the configure cache for a future rebuild (atomic replace).
if [[ -s $work/config.cache ]]; then
    if ! { cp "$work/config.cache" "$persist_cache.tmp.$$" && mv -f "$persist_cache.tmp.$$" "$persist_cache"; }; then
        rm -f "$persist_cache.tmp.$$"
        log "warning: could not keep the configure cache (harmless)"
    fi
fi

step "done: $prefix"
emit_prefix "$prefix"
