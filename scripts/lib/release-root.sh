# The root a release's exe is built in: a minimal Debian root holding
# exactly the toolchain versions a record names (the repository's pin for a
# new release, a release's BUILDINFO for its verification), made by
# mmdebstrap and kept in the build tree while those versions stay the same.
# The exe's bytes then come from the record, not from the machine at hand.
# Source it after scripts/lib/release-record.sh and scripts/lib/debian-mirror.sh,
# from the project's root; then:
#   RELEASE_PIN                    the repository's record: the suite and each version
#   record_suite RECORD            the suite a pin or a BUILDINFO names (Build-Suite)
#   root_missing RECORD MIRROR     "PACKAGE RECORDED MIRROR-VERSIONS" for each recorded version that
#                                  MIRROR's suite and its -updates do not hold (MIRROR-VERSIONS "none"
#                                  when it has the package at no version); status 2 when the mirror
#                                  cannot be read (MIRROR_FAULT says why)
#   root_prepare RECORD MIRROR     sets ROOT, the root for RECORD, made first when there is none
#                                  (ROOT_MADE=yes then); status 1 with ROOT_FAULT when it cannot be made
#   root_build OUT [DIR]           CorvandelUpdate.exe built in ROOT from this tree's exe sources, in
#                                  DIR inside the root (/build), copied to OUT; an earlier build of the
#                                  same sources in the same root is reused unless ROOT_REUSE_BUILDS=no;
#                                  status 1 with ROOT_FAULT
#   root_versions                  "PACKAGE VERSION" for BUILD_PACKAGES as installed in ROOT

RELEASE_PIN=cmake/release-toolchain.pin
ROOT_CACHE=$PWD/build/release-root

record_suite() { buildinfo_field "$1" Build-Suite; }

# Where a record's roots and package lists live: one folder per suite,
# versions and mirror, so that a root is reused exactly while they stay.
root_key() { # RECORD MIRROR
    { record_suite "$1"; buildinfo_toolchain "$1"; echo "$2"; } | sha256sum | cut -c1-16
}

root_missing() { # RECORD MIRROR
    local suite package recorded found held packages
    suite=$(record_suite "$1")
    mirror_open "$ROOT_CACHE/apt-$suite" "$2" "$suite" "$suite-updates" || return 2
    mapfile -t packages < <(buildinfo_toolchain "$1" | cut -d' ' -f1)
    held=$(mirror_versions "${packages[@]}")
    while read -r package recorded; do
        found=$(awk -v p="$package" '$1 == p { print $2 }' <<<"$held")
        grep -qxF -- "$recorded" <<<"$found" && continue
        echo "$package $recorded $(xargs <<<"${found:-none}" | tr ' ' ',')"
    done < <(buildinfo_toolchain "$1")
}

ROOT= ROOT_MADE= ROOT_FAULT=
root_prepare() { # RECORD MIRROR
    local suite include log
    suite=$(record_suite "$1")
    ROOT=$ROOT_CACHE/$suite-$(root_key "$1" "$2") ROOT_MADE= ROOT_FAULT=
    [ -d "$ROOT/usr/bin" ] && return 0
    [ "$(id -u)" -eq 0 ] || { ROOT_FAULT="making the build root needs root (mmdebstrap, then chroot)"; return 1; }
    include=$(buildinfo_toolchain "$1" | awk '{ printf "%s%s=%s", (NR > 1 ? "," : ""), $1, $2 }')
    log=$ROOT.log
    rm -rf "$ROOT" "$ROOT.new"
    mkdir -p "$ROOT_CACHE"
    if ! timeout 1200 mmdebstrap --variant=minbase --format=directory --include="$include" \
        --aptopt='Acquire::Check-Valid-Until "false"' "$suite" "$ROOT.new" \
        "deb $2 $suite main" "deb $2 $suite-updates main" >"$log" 2>&1; then
        rm -rf "$ROOT.new"
        ROOT_FAULT="mmdebstrap could not make the $suite root from $2 ($(grep -m1 '^E: ' "$log" || tail -n1 "$log"); log: $log)"
        return 1
    fi
    mv "$ROOT.new" "$ROOT"
    ROOT_MADE=yes
}

# The sources, their exact bytes: the same digest means the same exe.
exe_sources_digest() {
    tar --sort=name --mtime=@0 --owner=0 --group=0 --numeric-owner -cf - "${EXE_SOURCES[@]}" | sha256sum | cut -c1-32
}

root_build() { # OUT [DIR]
    local kept build=${2:-/build}
    kept=$ROOT.builds/$(exe_sources_digest).exe
    if [ "${ROOT_REUSE_BUILDS:-yes}" = yes ] && [ -s "$kept" ]; then
        cp "$kept" "$1" || { ROOT_FAULT="could not copy the exe built before"; return 1; }
        return 0
    fi
    # The sources go in read-only; the build tree is the root's own.
    [ ! -d "$ROOT/src" ] || chmod -R u+w "$ROOT/src"
    rm -rf "$ROOT/src" "${ROOT:?}$build"
    mkdir -p "$ROOT/src" "$ROOT.builds"
    tar -cf - "${EXE_SOURCES[@]}" | tar -C "$ROOT/src" -xf -
    chmod -R a-w "$ROOT/src"
    if ! chroot "$ROOT" /usr/bin/env -i PATH=/usr/bin:/bin HOME=/root LC_ALL=C /bin/sh -c \
        "cmake -S /src -B $build --toolchain /src/cmake/mingw-i686.cmake -DCMAKE_BUILD_TYPE=Release \
             -DCORVANDEL_EXE_ONLY=ON && cmake --build $build --target CorvandelUpdate" >"$ROOT.build.log" 2>&1; then
        ROOT_FAULT="the build in the root failed (log: $ROOT.build.log)"
        return 1
    fi
    cp "$ROOT$build/CorvandelUpdate.exe" "$1" && cp "$ROOT$build/CorvandelUpdate.exe" "$kept" ||
        { ROOT_FAULT="could not copy the exe out of the root"; return 1; }
    chmod -R u+w "$ROOT/src"
    rm -rf "$ROOT/src" "${ROOT:?}$build"
}

root_versions() { TOOLCHAIN_ADMINDIR=$ROOT/var/lib/dpkg toolchain_versions; }
