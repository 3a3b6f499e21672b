# The root a release's exe is built in: a minimal Debian root holding
# exactly the toolchain versions a record names (the repository's pin for a
# new release, a release's BUILDINFO for its verification), made by
# mmdebstrap and kept in the build tree while those versions stay the same.
# The exe's bytes then come from the record, not from the machine at hand.
# Source it after scripts/lib/release-record.sh and scripts/lib/debian-mirror.sh,
# from the project's root; then:
#   RELEASE_PIN                    the repository's record: the suite and each version
#   root_lock WHO                  waits (saying so) until no other packaging or verification of
#                                  this checkout uses the roots and their caches, then holds them
#                                  until root_unlock or the end of the process; status 1 with
#                                  ROOT_FAULT after an hour
#   record_suite RECORD            the suite a pin or a BUILDINFO names (Build-Suite)
#   root_missing RECORD MIRROR     sets ROOT_MISSING: "PACKAGE RECORDED MIRROR-VERSIONS" a line, for
#                                  each recorded version that MIRROR's suite and its -updates do not
#                                  hold (MIRROR-VERSIONS "none" when it has the package at no version);
#                                  status 2 when the mirror cannot be read (MIRROR_FAULT says why)
#   root_prepare RECORD MIRROR     sets ROOT, the root for RECORD, made first when there is none
#                                  (ROOT_MADE=yes then); status 1 with ROOT_FAULT when it cannot be made
#   root_build OUT [DIR]           CorvandelUpdate.exe built in ROOT from this tree's exe sources, in
#                                  DIR inside the root (/build), copied to OUT whole: its SHA-256,
#                                  taken in the root as the build wrote it, is checked on every copy.
#                                  An earlier build of the same sources in the same root is reused
#                                  unless ROOT_REUSE_BUILDS=no; status 1 with ROOT_FAULT
#   root_versions                  "PACKAGE VERSION" for BUILD_PACKAGES as installed in ROOT
# Records are checked (record_check) before they are given here. Whatever is
# written to the cache is written under a temporary name first, so that an
# interrupted run never leaves half an entry that a later one takes.

source "${BASH_SOURCE[0]%/*}/supervise.sh" # leaves_behind, remove_leftover

RELEASE_PIN=cmake/release-toolchain.pin
ROOT_CACHE=$PWD/build/release-root
ROOT_LOCK_SECONDS=3600

ROOT= ROOT_MADE= ROOT_FAULT= ROOT_MISSING=

root_lock() { # WHO
    mkdir -p "$ROOT_CACHE" || { ROOT_FAULT="could not make $ROOT_CACHE"; return 1; }
    exec {ROOT_LOCK_FD}>>"$ROOT_CACHE/lock"
    flock -n "$ROOT_LOCK_FD" && return 0
    echo "$1: waiting for another packaging or verification of this checkout, which uses the release root now ..."
    flock -w "$ROOT_LOCK_SECONDS" "$ROOT_LOCK_FD" ||
        { ROOT_FAULT="the release root was still in use by another packaging or verification after $((ROOT_LOCK_SECONDS / 60)) minutes"; return 1; }
}

root_unlock() { [ -z "${ROOT_LOCK_FD:-}" ] || exec {ROOT_LOCK_FD}>&-; ROOT_LOCK_FD=; }

record_suite() { buildinfo_field "$1" Build-Suite; }

# Where a record's roots and package lists live: one folder per suite,
# versions and mirror, so that a root is reused exactly while they stay.
root_key() { # RECORD MIRROR
    { record_suite "$1"; buildinfo_toolchain "$1"; echo "$2"; } | sha256sum | cut -c1-16
}

root_missing() { # RECORD MIRROR
    local suite package recorded found packages
    ROOT_MISSING=
    suite=$(record_suite "$1")
    mirror_open "$ROOT_CACHE/apt-$suite" "$2" "$suite" "$suite-updates" || return 2
    mapfile -t packages < <(buildinfo_toolchain "$1" | cut -d' ' -f1)
    mirror_versions "${packages[@]}" || return 2
    while read -r package recorded; do
        found=$(awk -v p="$package" '$1 == p { print $2 }' <<<"$MIRROR_VERSIONS")
        grep -qxF -- "$recorded" <<<"$found" && continue
        ROOT_MISSING+="$package $recorded $(xargs <<<"${found:-none}" | tr ' ' ',')"$'\n'
    done < <(buildinfo_toolchain "$1")
    ROOT_MISSING=${ROOT_MISSING%$'\n'}
}

root_prepare() { # RECORD MIRROR
    local suite include log
    suite=$(record_suite "$1")
    ROOT=$ROOT_CACHE/$suite-$(root_key "$1" "$2") ROOT_MADE= ROOT_FAULT=
    [ -d "$ROOT/usr/bin" ] && return 0
    [ "$(id -u)" -eq 0 ] || { ROOT_FAULT="making the build root needs root (mmdebstrap, then chroot)"; return 1; }
    include=$(buildinfo_toolchain "$1" | awk '{ printf "%s%s=%s", (NR > 1 ? "," : ""), $1, $2 }')
    log=$ROOT.log
    mkdir -p "$ROOT_CACHE"
    leaves_behind "$ROOT.new"
    remove_leftover "$ROOT.new"
    if ! timeout 1200 mmdebstrap --variant=minbase --format=directory --include="$include" \
        --aptopt='Acquire::Check-Valid-Until "false"' "$suite" "$ROOT.new" \
        "deb $2 $suite main" "deb $2 $suite-updates main" >"$log" 2>&1; then
        remove_leftover "$ROOT.new"
        ROOT_FAULT="mmdebstrap could not make the $suite root from $2 ($(grep -m1 '^E: ' "$log" || tail -n1 "$log"); log: $log)"
        return 1
    fi
    remove_leftover "$ROOT"
    mv -T "$ROOT.new" "$ROOT"
    ROOT_MADE=yes
}

# What of EXE_SOURCES this tree holds: a release's older commit may lack a
# folder that came later (plan/).
exe_sources_here() {
    local source
    for source in "${EXE_SOURCES[@]}"; do [ ! -e "$source" ] || printf '%s\n' "$source"; done
}

# The sources, their exact bytes: the same digest means the same exe.
exe_sources_digest() {
    local sources
    mapfile -t sources < <(exe_sources_here)
    tar --sort=name --mtime=@0 --owner=0 --group=0 --numeric-owner -cf - "${sources[@]}" | sha256sum | cut -c1-32
}

# A copy of FROM at TO, under a temporary name until it is whole: its SHA-256
# must be SHA256, the exe as it was built.
copy_whole() { # FROM TO SHA256
    rm -f "$2.partial"
    cp -- "$1" "$2.partial" && [ "$(sha256sum <"$2.partial" | cut -d' ' -f1)" = "$3" ] && mv -f -- "$2.partial" "$2" && return 0
    rm -f "$2.partial"
    return 1
}

root_build() { # OUT [DIR]
    local kept build=${2:-/build} built sources
    kept=$ROOT.builds/$(exe_sources_digest)
    if [ "${ROOT_REUSE_BUILDS:-yes}" = yes ] && [ -s "$kept.exe" ] && [ -s "$kept.sha256" ]; then
        copy_whole "$kept.exe" "$1" "$(cat "$kept.sha256")" && return 0
        # A kept exe that is not the one built (cut short by a full disk, say) is built again.
        rm -f "$kept.exe" "$kept.sha256"
    fi
    # The sources go in read-only; the build tree is the root's own.
    [ ! -d "$ROOT/src" ] || chmod -R u+w "$ROOT/src"
    rm -rf "$ROOT/src" "${ROOT:?}$build"
    mkdir -p "$ROOT/src" "$ROOT.builds"
    mapfile -t sources < <(exe_sources_here)
    tar -cf - "${sources[@]}" | tar -C "$ROOT/src" -xf -
    chmod -R a-w "$ROOT/src"
    if ! timeout 600 chroot "$ROOT" /usr/bin/env -i PATH=/usr/bin:/bin HOME=/root LC_ALL=C /bin/sh -c \
        "cmake -S /src -B $build --toolchain /src/cmake/mingw-i686.cmake -DCMAKE_BUILD_TYPE=Release \
             -DCORVANDEL_EXE_ONLY=ON && cmake --build $build --target CorvandelUpdate" >"$ROOT.build.log" 2>&1; then
        ROOT_FAULT="the build in the root failed (log: $ROOT.build.log)"
        return 1
    fi
    built=$(sha256sum <"$ROOT$build/CorvandelUpdate.exe" | cut -d' ' -f1)
    if [ "${ROOT_REUSE_BUILDS:-yes}" = yes ]; then
        { copy_whole "$ROOT$build/CorvandelUpdate.exe" "$kept.exe" "$built" && echo "$built" >"$kept.sha256.partial" &&
            mv -f "$kept.sha256.partial" "$kept.sha256"; } || { ROOT_FAULT="could not keep the exe built in the root"; return 1; }
    fi
    copy_whole "$ROOT$build/CorvandelUpdate.exe" "$1" "$built" ||
        { ROOT_FAULT="could not copy the exe out of the root whole"; return 1; }
    chmod -R u+w "$ROOT/src"
    rm -rf "$ROOT/src" "${ROOT:?}$build"
}

root_versions() { TOOLCHAIN_ADMINDIR=$ROOT/var/lib/dpkg toolchain_versions; }
