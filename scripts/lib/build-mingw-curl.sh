#!/usr/bin/env bash
# build-mingw-curl.sh - build a static libcurl with Schannel (TLS) and SSPI for a
# mingw-w64 triplet (x86_64-w64-mingw32 or i686-w64-mingw32) from Debian's curl
# source package, once per machine and triplet, into a cache outside the
# repository.
#
# Usage:   prefix=$(scripts/lib/build-mingw-curl.sh [TRIPLET] | tail -n1)
#
# TRIPLET defaults to x86_64-w64-mingw32.  The last (and only) line on stdout is
# the install prefix
#   $PALLATON_CACHE/<triplet>-curl-schannel-<debian source version>
# which holds include/curl/*.h, lib/libcurl.a, lib/pkgconfig/libcurl.pc,
# bin/curl-config, BUILDINFO (shell-sourceable: CURL_CPPFLAGS, CURL_LDLIBS, ...)
# and the stamp .complete.  Everything else goes to stderr.
#
# Link a consumer with (secur32 is loaded at run time):
#   <triplet>-gcc-posix -DCURL_STATICLIB -I$prefix/include ... \
#       $prefix/lib/libcurl.a -lws2_32 -lcrypt32 -lbcrypt -ladvapi32 -lpthread
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
# so that an older HTTP-only build in the same cache is never taken for this one.
readonly NAME=$HOST-curl-schannel
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

# ---------------------------------------------------------------------------
# Fast path: a complete cache entry exists -> print it, no apt, no lock.
# ---------------------------------------------------------------------------
find_complete_prefix() {
    local d best='' ver bestver=''
    if [[ -n $WANT_VERSION ]]; then
        d=$CACHE_ROOT/$NAME-$WANT_VERSION
        [[ -f $d/.complete ]] && printf '%s\n' "$d"
        return 0
    fi
    # Only a Debian version follows the name: a build of another flavour (another name that
    # begins with this one) is never taken for this one.
    for d in "$CACHE_ROOT/$NAME"-[0-9]*; do
        [[ -f $d/.complete ]] || continue
        ver=${d##*/"$NAME"-}
        if [[ -z $best ]] || dpkg --compare-versions "$ver" gt "$bestver"; then
            best=$d
            bestver=$ver
        fi
    done
    [[ -n $best ]] && printf '%s\n' "$best"
    return 0
}

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

mkdir -p "$CACHE_ROOT" 2>/dev/null \
    || die "cannot create cache root '$CACHE_ROOT' (run as root, or set PALLATON_CACHE to a writable folder)"
[[ -w $CACHE_ROOT ]] \
    || die "cache root '$CACHE_ROOT' is not writable (run as root, or set PALLATON_CACHE to a writable folder)"

# One build at a time per cache root; a second caller waits, then reuses.
exec 9>"$CACHE_ROOT/.$NAME.lock"
if ! flock -n 9; then
    log "another build holds $CACHE_ROOT/.$NAME.lock; waiting for it"
    flock 9
    if [[ ${PALLATON_CURL_REFRESH:-0} != 1 ]]; then
        prefix=$(find_complete_prefix)
        if [[ -n $prefix ]]; then
            emit_prefix "$prefix"
            exit 0
        fi
    fi
fi

# Leftovers of interrupted runs (we hold the lock, so nobody is using them).
rm -rf "$CACHE_ROOT/.work-$NAME".* "$CACHE_ROOT/.trash-$NAME".*

work=$(mktemp -d "$CACHE_ROOT/.work-$NAME.XXXXXX")
chmod 755 "$work"
cleanup() {
    local rc=$?
    if [[ ${PALLATON_KEEP_WORK:-0} == 1 ]]; then
        log "keeping work folder $work"
    else
        rm -rf "$work"
    fi
    exit "$rc"
}
trap cleanup EXIT
trap 'log "interrupted; nothing was published"; exit 130' INT
trap 'log "terminated; nothing was published"; exit 143' TERM HUP

# Run a command with its output in a log file; on failure show the tail.
run_logged() {
    local logfile=$1
    shift
    if ! "$@" >"$logfile" 2>&1; then
        log "command failed: $*"
        log "last lines of its log (whole log kept with PALLATON_KEEP_WORK=1):"
        tail -n 40 "$logfile" >&2 || true
        return 1
    fi
}

# ---------------------------------------------------------------------------
# deb-src entry for the Debian archive.
# ---------------------------------------------------------------------------
# apt-get indextargets lists only targets whose Release file is on disk, unless
# --no-release-info is given (then the Origin field is empty).  Use both: the
# configured targets come from the second, Origin from the first when known.
declare -A debian_origin=()
declare -a targets=()   # CREATED_BY \t URI \t COMPONENT \t FILENAME
load_apt_targets() {
    local by uri origin
    debian_origin=()
    # shellcheck disable=SC2016  # $(...) are apt's format fields
    while IFS=$'\t' read -r by uri origin; do
        [[ $origin == Debian ]] && debian_origin[$uri]=1
    done < <(apt-get indextargets --format $'$(CREATED_BY)\t$(URI)\t$(ORIGIN)' 2>/dev/null || true)
    # shellcheck disable=SC2016
    mapfile -t targets < <(apt-get indextargets --no-release-info \
        --format $'$(CREATED_BY)\t$(URI)\t$(COMPONENT)\t$(FILENAME)' 2>/dev/null || true)
}

# The Debian archive: Origin "Debian" in its Release file, or (Release not
# fetched yet) a URI with the usual .../debian[-security]/dists/ layout.
is_debian_target() { # uri
    [[ -n ${debian_origin[$1]+x} || $1 =~ /debian(-security)?/dists/ ]]
}

have_debian_deb_src() {
    local t by uri comp file
    for t in "${targets[@]}"; do
        IFS=$'\t' read -r by uri comp file <<<"$t"
        [[ $by == Sources ]] && is_debian_target "$uri" && return 0
    done
    return 1
}

# Are the Sources lists of the Debian deb-src entries on disk (any compression)?
have_source_lists() {
    local t by uri comp file found=1
    for t in "${targets[@]}"; do
        IFS=$'\t' read -r by uri comp file <<<"$t"
        if [[ $by != Sources ]] || ! is_debian_target "$uri"; then continue; fi
        compgen -G "$file" >/dev/null || compgen -G "$file.*" >/dev/null || return 1
        found=0
    done
    return $found
}

apt_updated=0
apt_update() {
    step "apt-get update ($1)"
    run_logged "$work/apt-update.log" apt-get -q update \
        || die "apt-get update failed (see above)"
    apt_updated=1
}

add_deb_src_entry() {
    [[ $(id -u) == 0 ]] \
        || die "no deb-src entry for the Debian archive is configured and adding one needs root (run as root, or add a deb-src entry for curl's source yourself)"

    local sourceparts='' t by uri comp file base dist
    eval "$(apt-config shell sourceparts Dir::Etc::sourceparts/d)"
    [[ -n $sourceparts ]] || sourceparts=/etc/apt/sources.list.d/
    [[ -d $sourceparts ]] || die "APT source folder '$sourceparts' does not exist"

    # Mirror the binary entries of the Debian archive (same mirrors, suites).
    local -A suites=()
    local -a bases=()
    for t in "${targets[@]}"; do
        IFS=$'\t' read -r by uri comp file <<<"$t"
        [[ $by == Packages && $comp == main && $uri == */dists/* ]] || continue
        is_debian_target "$uri" || continue
        base=${uri%%/dists/*}
        dist=${uri#"$base"/dists/}
        dist=${dist%/"$comp"/*}
        if [[ -z ${suites[$base]+x} ]]; then
            bases+=("$base")
            suites[$base]=$dist
        elif [[ " ${suites[$base]} " != *" $dist "* ]]; then
            suites[$base]+=" $dist"
        fi
    done

    if ((${#bases[@]} == 0)); then
        # No Debian binary entry either: fall back to the official mirror.
        local id='' codename=''
        if [[ -r /etc/os-release ]]; then
            # shellcheck disable=SC1091
            id=$(. /etc/os-release && printf '%s' "${ID:-}")
            # shellcheck disable=SC1091
            codename=$(. /etc/os-release && printf '%s' "${VERSION_CODENAME:-}")
        fi
        [[ $id == debian && -n $codename ]] \
            || die "no Debian archive entry in APT's sources and this is not a Debian system with a codename; add a deb-src entry for curl yourself"
        bases=(http://deb.debian.org/debian)
        suites[http://deb.debian.org/debian]="$codename $codename-updates"
    fi

    local keyring=/usr/share/keyrings/debian-archive-keyring.gpg
    local dest=${sourceparts%/}/pallaton-debian-src.sources
    {
        printf '# Added by pallaton scripts/lib/build-mingw-curl.sh to fetch Debian source packages.\n'
        for base in "${bases[@]}"; do
            printf 'Types: deb-src\nURIs: %s\nSuites: %s\nComponents: main\n' "$base" "${suites[$base]}"
            [[ -r $keyring ]] && printf 'Signed-By: %s\n' "$keyring"
            printf '\n'
        done
    } >"$work/pallaton-debian-src.sources"
    chmod 644 "$work/pallaton-debian-src.sources"
    if ! { cp "$work/pallaton-debian-src.sources" "$dest.tmp.$$" && mv -f "$dest.tmp.$$" "$dest"; }; then
        rm -f "$dest.tmp.$$"
        die "could not write $dest"
    fi
    log "added deb-src entry $dest:"
    sed 's/^/    /' "$dest" >&2
}

step "checking APT deb-src entries"
load_apt_targets
if ! have_debian_deb_src; then
    add_deb_src_entry
    load_apt_targets
    have_debian_deb_src || die "added a deb-src entry, but APT does not list it (check APT's configuration)"
    apt_update "added a deb-src entry"
elif ! have_source_lists; then
    apt_update "deb-src lists not downloaded yet"
fi

# ---------------------------------------------------------------------------
# Fetch and unpack the source.
# ---------------------------------------------------------------------------
dl=$work/dl
mkdir -p "$dl"
# Let apt's sandbox user write there (avoids the "unsandboxed as root" warning).
if [[ $(id -u) == 0 ]] && id -u _apt >/dev/null 2>&1; then
    chown _apt "$dl" 2>/dev/null || true
fi

srcspec=curl
[[ -n $WANT_VERSION ]] && srcspec="curl=$WANT_VERSION"

fetch_source() {
    (cd "$dl" && apt-get -q source --download-only "$srcspec") >"$work/apt-source.log" 2>&1
}

step "fetching Debian source package $srcspec"
if ! fetch_source; then
    # Missing or outdated lists: the package or its files are unknown/gone.
    if ((apt_updated == 0)) && grep -qE "Unable to find a source package|You must put some 'deb-src' URIs|404 +Not Found|Failed to fetch|Hash Sum mismatch|Can not find version" "$work/apt-source.log"; then
        log "apt-get source failed, apparently for lack of (current) package lists:"
        sed 's/^/    /' "$work/apt-source.log" | tail -n 5 >&2
        apt_update "apt-get source needs current lists"
        rm -rf "${dl:?}"/*
        fetch_source || { tail -n 20 "$work/apt-source.log" >&2; die "apt-get source $srcspec failed even after apt-get update"; }
    else
        tail -n 20 "$work/apt-source.log" >&2
        die "apt-get source $srcspec failed"
    fi
fi

shopt -s nullglob
dscs=("$dl"/curl_*.dsc)
shopt -u nullglob
((${#dscs[@]} == 1)) || die "expected exactly one curl_*.dsc in $dl, found ${#dscs[@]}"
dsc=${dscs[0]}
version=${dsc##*/curl_}
version=${version%.dsc}
[[ $version =~ ^[0-9A-Za-z.+~:-]+$ ]] || die "unexpected source version '$version' from $dsc"
# apt-get source pkg=VERSION may silently hand out another version.
if [[ -n $WANT_VERSION && $version != "${WANT_VERSION#*:}" ]]; then
    die "asked APT for curl source $WANT_VERSION but it offers $version (is $WANT_VERSION still in the archive?)"
fi
prefix=$CACHE_ROOT/$NAME-$version
log "Debian source version: $version -> $prefix"

if [[ -f $prefix/.complete ]]; then
    log "already built: $prefix"
    emit_prefix "$prefix"
    exit 0
fi

step "unpacking (upstream tree + Debian's patches, without its build)"
src=$work/src
run_logged "$work/dpkg-source.log" dpkg-source --skip-patches -x "$dsc" "$src" \
    || die "dpkg-source could not unpack $dsc"

# Apply Debian's patch series (security fixes), minus the flavour patches.
# Only the upstream configure is run afterwards: patches to configure.ac and
# Makefile.am stay inert (maintainer mode is off, nothing is regenerated).
series=$src/debian/patches/series
napplied=0
if [[ -f $series ]]; then
    while read -r p _; do
        [[ -z $p || $p == \#* ]] && continue
        [[ $FLAVOUR_PATCHES == *" $p "* ]] && continue
        [[ -f $src/debian/patches/$p ]] || die "patch '$p' listed in debian/patches/series is missing"
        patch -d "$src" -p1 --forward --batch --silent --fuzz=0 --remove-empty-files \
            --no-backup-if-mismatch <"$src/debian/patches/$p" >>"$work/patches.log" 2>&1 \
            || { tail -n 20 "$work/patches.log" >&2; die "Debian patch '$p' does not apply"; }
        napplied=$((napplied + 1))
    done <"$series"
fi
log "applied $napplied Debian patches"

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
    --without-libpsl --without-libidn2 --without-nghttp2 --without-librtmp
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
conf_env=(CC="$CC_BIN" CFLAGS="-O2 -pipe" CPPFLAGS= LDFLAGS= LIBS=
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

libcurl_libs=$(sed -n 's/^LIBCURL_LIBS = //p' lib/Makefile)
[[ -n $libcurl_libs ]] || die "could not read LIBCURL_LIBS from lib/Makefile"
# winpthreads: the resolver thread uses pthread_create.
ldlibs="$libcurl_libs"
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
    "$staged/lib/libcurl.a" $ldlibs -static -o "$work/linktest.exe" \
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
CURL_CPPFLAGS='-DCURL_STATICLIB -I$prefix/include'
CURL_LIBRARY='$prefix/lib/libcurl.a'
CURL_LDLIBS='$ldlibs'
CURL_CONFIGURE_ARGS='--prefix=$prefix ${conf_args[*]}'
CURL_BUILT_AT='$(date -u +%Y-%m-%dT%H:%M:%SZ)'
EOF

# Stamp last, flush to disk, then publish with a single rename.
: >"$staged/.complete"
find "$staged" -type f -exec sync {} + 2>/dev/null || sync

if [[ -e $prefix || -L $prefix ]]; then
    # An incomplete leftover (no stamp): move it aside, it is not in use.
    trash=$(mktemp -d "$CACHE_ROOT/.trash-$NAME.XXXXXX")
    mv -T "$prefix" "$trash/old"
    rm -rf "$trash"
fi
mv -T "$staged" "$prefix" || die "could not move the staged install to $prefix"

# Keep the configure cache for a future rebuild (atomic replace).
if [[ -s $work/config.cache ]]; then
    if ! { cp "$work/config.cache" "$persist_cache.tmp.$$" && mv -f "$persist_cache.tmp.$$" "$persist_cache"; }; then
        rm -f "$persist_cache.tmp.$$"
        log "warning: could not keep the configure cache (harmless)"
    fi
fi

step "done: $prefix"
emit_prefix "$prefix"
