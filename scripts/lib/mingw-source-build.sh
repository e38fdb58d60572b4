#!/usr/bin/env bash
# mingw-source-build.sh - the shared steps of the cached mingw-w64 builds from
# Debian's source packages (build-mingw-curl.sh, build-mingw-nghttp2.sh).
# Sourced, not run.
#
# The caller sets CACHE_ROOT, NAME and WANT_VERSION, defines log, die, step and
# emit_prefix, and calls find_complete_prefix (fast path), begin_build (lock,
# work folder) and then, in this order:
#   ensure_deb_src                      a deb-src entry for the Debian archive
#                                       and its lists (adds one as root)
#   fetch_debian_source PKG [VERSION]   apt-get source --download-only into
#                                       $work/dl-PKG; sets dsc and version
#   unpack_debian_source SRC [SKIP]     unpacks $dsc into SRC and applies
#                                       Debian's patch series, minus the
#                                       patches named in SKIP (" a b "); sets
#                                       napplied
#   publish_build STAGED PREFIX        stamp and atomic publication
# shellcheck disable=SC2154  # CACHE_ROOT, NAME and WANT_VERSION come from the caller

# ---------------------------------------------------------------------------
# Cache entries: CACHE_ROOT/NAME-VERSION, complete when the stamp .complete is
# in it; published by a single rename.
# ---------------------------------------------------------------------------
# The newest complete entry (or the one of WANT_VERSION), or nothing.
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

# Takes the build lock of NAME (a second caller waits, then reuses the entry
# the first one published, unless refresh is 1), clears leftovers of
# interrupted runs and makes the work folder, removed at exit.
begin_build() { # refresh
    local refresh=$1
    mkdir -p "$CACHE_ROOT" 2>/dev/null \
        || die "cannot create cache root '$CACHE_ROOT' (run as root, or set PALLATON_CACHE to a writable folder)"
    [[ -w $CACHE_ROOT ]] \
        || die "cache root '$CACHE_ROOT' is not writable (run as root, or set PALLATON_CACHE to a writable folder)"

    # One build at a time per cache root; a second caller waits, then reuses.
    exec 9>"$CACHE_ROOT/.$NAME.lock"
    if ! flock -n 9; then
        log "another build holds $CACHE_ROOT/.$NAME.lock; waiting for it"
        flock 9
        if [[ $refresh != 1 ]]; then
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
    # shellcheck disable=SC2317  # run by the EXIT trap
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
}

# Stamps the staged install, flushes it to disk and publishes it as prefix.
publish_build() { # staged prefix
    # Stamp last, flush to disk, then publish with a single rename.
    : >"$1/.complete"
    find "$1" -type f -exec sync {} + 2>/dev/null || sync

    if [[ -e $2 || -L $2 ]]; then
        # An incomplete leftover (no stamp): move it aside, it is not in use.
        local trash
        trash=$(mktemp -d "$CACHE_ROOT/.trash-$NAME.XXXXXX")
        mv -T "$2" "$trash/old"
        rm -rf "$trash"
    fi
    mv -T "$1" "$2" || die "could not move the staged install to $2"
}

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

# Are the Sources lists of the Debian deb-src entries on disk (any compression)? With "any": is
# one of them?
have_source_lists() {
    local t by uri comp file found=1
    for t in "${targets[@]}"; do
        IFS=$'\t' read -r by uri comp file <<<"$t"
        if [[ $by != Sources ]] || ! is_debian_target "$uri"; then continue; fi
        if compgen -G "$file" >/dev/null || compgen -G "$file.*" >/dev/null; then
            found=0
        elif [[ ${1:-} != any ]]; then
            return 1
        fi
    done
    return $found
}

apt_updated=0
apt_update() {
    step "apt-get update ($1)"
    if ! run_logged "$work/apt-update.log" apt-get -q update; then
        # A mirror in the middle of a sync can fail one index of packages; only the source lists
        # matter here.
        load_apt_targets
        have_source_lists any || die "apt-get update failed (see above)"
        log "apt-get update failed, but source lists are in place: going on"
    fi
    apt_updated=1
}

add_deb_src_entry() {
    [[ $(id -u) == 0 ]] \
        || die "no deb-src entry for the Debian archive is configured and adding one needs root (run as root, or add a deb-src entry for the Debian archive yourself)"

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
            || die "no Debian archive entry in APT's sources and this is not a Debian system with a codename; add a deb-src entry for the Debian archive yourself"
        bases=(http://deb.debian.org/debian)
        suites[http://deb.debian.org/debian]="$codename $codename-updates"
    fi

    local keyring=/usr/share/keyrings/debian-archive-keyring.gpg
    local dest=${sourceparts%/}/pallaton-debian-src.sources
    {
        printf '# Added by pallaton scripts/lib/mingw-source-build.sh to fetch Debian source packages.\n'
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

ensure_deb_src() {
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
}

# ---------------------------------------------------------------------------
# Fetch and unpack a source package.
# ---------------------------------------------------------------------------
fetch_debian_source() { # package [version]
    local package=$1 want=${2:-} wanted_source=$1 dl=$work/dl-$1 log_file=$work/apt-source-$1.log
    [[ -n $want ]] && wanted_source="$package=$want"
    mkdir -p "$dl"
    # Let apt's sandbox user write there (avoids the "unsandboxed as root" warning).
    if [[ $(id -u) == 0 ]] && id -u _apt >/dev/null 2>&1; then
        chown _apt "$dl" 2>/dev/null || true
    fi

    step "fetching Debian source package $wanted_source"
    if ! (cd "$dl" && apt-get -q source --download-only "$wanted_source") >"$log_file" 2>&1; then
        # Missing or outdated lists: the package or its files are unknown/gone.
        if ((apt_updated == 0)) && grep -qE "Unable to find a source package|You must put some 'deb-src' URIs|404 +Not Found|Failed to fetch|Hash Sum mismatch|Can not find version" "$log_file"; then
            log "apt-get source failed, apparently for lack of (current) package lists:"
            sed 's/^/    /' "$log_file" | tail -n 5 >&2
            apt_update "apt-get source needs current lists"
            rm -rf "${dl:?}"/*
            (cd "$dl" && apt-get -q source --download-only "$wanted_source") >"$log_file" 2>&1 \
                || { tail -n 20 "$log_file" >&2; die "apt-get source $wanted_source failed even after apt-get update"; }
        else
            tail -n 20 "$log_file" >&2
            die "apt-get source $wanted_source failed"
        fi
    fi

    local dscs
    shopt -s nullglob
    dscs=("$dl/${package}"_*.dsc)
    shopt -u nullglob
    ((${#dscs[@]} == 1)) || die "expected exactly one ${package}_*.dsc in $dl, found ${#dscs[@]}"
    dsc=${dscs[0]}
    version=${dsc##*/"${package}"_}
    version=${version%.dsc}
    [[ $version =~ ^[0-9A-Za-z.+~:-]+$ ]] || die "unexpected source version '$version' from $dsc"
    # apt-get source pkg=VERSION may silently hand out another version.
    if [[ -n $want && $version != "${want#*:}" ]]; then
        die "asked APT for $package source $want but it offers $version (is $want still in the archive?)"
    fi
}

# Unpacks $dsc and applies Debian's patch series (security fixes), minus the
# patches named in skip. Only the upstream configure is run afterwards: patches
# to configure.ac and Makefile.am stay inert (maintainer mode is off, nothing
# is regenerated).
unpack_debian_source() { # src [skip]
    local src=$1 skip=${2:-} series p
    step "unpacking (upstream tree + Debian's patches, without its build)"
    run_logged "$work/dpkg-source.log" dpkg-source --skip-patches -x "$dsc" "$src" \
        || die "dpkg-source could not unpack $dsc"
    series=$src/debian/patches/series
    napplied=0
    if [[ -f $series ]]; then
        while read -r p _; do
            [[ -z $p || $p == \#* ]] && continue
            [[ $skip == *" $p "* ]] && continue
            [[ -f $src/debian/patches/$p ]] || die "patch '$p' listed in debian/patches/series is missing"
            patch -d "$src" -p1 --forward --batch --silent --fuzz=0 --remove-empty-files \
                --no-backup-if-mismatch <"$src/debian/patches/$p" >>"$work/patches.log" 2>&1 \
                || { tail -n 20 "$work/patches.log" >&2; die "Debian patch '$p' does not apply"; }
            napplied=$((napplied + 1))
        done <"$series"
    fi
    log "applied $napplied Debian patches"
}
