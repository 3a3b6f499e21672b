# shellcheck shell=bash
# The root a release's exe is built in: a minimal Debian root holding
# exactly the toolchain versions a record names (the repository's pin for a
# new release, a release's BUILDINFO for its verification), made by
# mmdebstrap and kept in the build tree while those versions stay the same.
# The exe's bytes then come from the record, not from the machine at hand.
# As root, mmdebstrap makes the root in its root mode and the exe is built in
# it with chroot, as Debian's own tools do. As anyone else, mmdebstrap makes
# it in a user namespace (its unshare mode, which needs the user's subordinate
# ids) and the exe is built in one (unshare -r, then chroot): every file of
# that root is the user's own, so that rm -rf build works as that user. Both
# give the same bytes. Source it after scripts/lib/release-record.sh and
# scripts/lib/debian-mirror.sh, from the project's root; then:
#   root_mode                      root or user: how roots are made and entered here
#   userns_fault                   why this user cannot build in a user namespace here, in one line
#                                  that names the cause and the fix; nothing when it can (or is root)
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

# shellcheck disable=SC2034 # RELEASE_PIN: set here for the scripts that source this
RELEASE_PIN=cmake/release-toolchain.pin
ROOT_CACHE=$(cd "${BASH_SOURCE[0]%/*}/../.." && pwd)/build/release-root # this checkout's, wherever it is run from
ROOT_LOCK_SECONDS=3600
# shellcheck disable=SC2034 # DEBIAN_MIRROR_CACHE: read by debian_mirror (scripts/lib/debian-mirror.sh)
DEBIAN_MIRROR_CACHE=$ROOT_CACHE/debian-mirror
# chroot lives in sbin, which an ordinary user's PATH may lack.
PATH=$PATH:/usr/sbin:/sbin

root_mode() { if [ "$(id -u)" -eq 0 ]; then echo root; else echo user; fi; }

# A range of at least 65536 subordinate ids for this user, by name or number.
subordinate_range() { # FILE
    awk -F: -v name="$(id -un)" -v uid="$(id -u)" '($1 == name || $1 == uid) && $3 >= 65536 { found = 1 } END { exit !found }' "$1" 2>/dev/null
}

# In a chroot the root folder is no mount point of this process's view.
in_chroot() { ! awk '$5 == "/" { found = 1 } END { exit !found }' /proc/self/mountinfo 2>/dev/null; }

userns_fault() {
    local user refused
    [ "$(root_mode)" = user ] || return 0
    user=$(id -un)
    { command -v newuidmap >/dev/null && command -v newgidmap >/dev/null; } || {
        echo "newuidmap and newgidmap are missing, which make a user namespace for an ordinary user: as root, run scripts/setup (it installs Debian's uidmap)"
        return
    }
    { subordinate_range /etc/subuid && subordinate_range /etc/subgid; } || {
        echo "$user has no range of subordinate user and group ids in /etc/subuid and /etc/subgid, which a user namespace needs; as root, give it one no other user has, such as: usermod --add-subuids 100000-165535 --add-subgids 100000-165535 $user"
        return
    }
    refused=$(unshare --user --map-root-user true 2>&1) && return 0
    refused=$(shown "$(tail -n1 <<<"$refused")")
    if [ "$(cat /proc/sys/kernel/unprivileged_userns_clone 2>/dev/null)" = 0 ]; then
        echo "this kernel lets no ordinary user make a user namespace (kernel.unprivileged_userns_clone is 0): as root, sysctl -w kernel.unprivileged_userns_clone=1, or run this as root"
    elif [ "$(cat /proc/sys/user/max_user_namespaces 2>/dev/null)" = 0 ]; then
        echo "this kernel allows no user namespace (user.max_user_namespaces is 0): as root, sysctl -w user.max_user_namespaces=15000, or run this as root"
    elif [ "$(cat /proc/sys/kernel/apparmor_restrict_unprivileged_userns 2>/dev/null)" = 1 ]; then
        echo "AppArmor lets no unconfined program make a user namespace (kernel.apparmor_restrict_unprivileged_userns is 1): run this as root"
    elif in_chroot; then
        echo "this runs in a chroot, where the kernel makes no user namespace ($refused): run it as root there, or enter that root with pivot_root (unshare --mount, as container tools do) instead of chroot"
    else
        echo "the kernel refuses to make a user namespace here ($refused), as in a container that allows none: run this as root, or where user namespaces are allowed"
    fi
}

# COMMAND run inside ROOT for at most SECONDS, with this tree's sources at
# /src read-only: as root in a mount namespace of its own, as a user in a user
# namespace too, where the root's /dev/null is the system's.
root_enter() { # SECONDS COMMAND
    local namespace=(timeout "$1" unshare --mount --propagation private) devices=
    if [ "$(root_mode)" = user ]; then
        namespace=(timeout "$1" unshare --map-root-user --mount --propagation private)
        # shellcheck disable=SC2016 # expanded by the shell in the namespace
        devices='mount --bind /dev/null "$1/dev/null" &&'
    fi
    # shellcheck disable=SC2016 # expanded by the shell in the namespace
    "${namespace[@]}" sh -c "$devices"'
        mount --bind "$1/src" "$1/src" && mount -o remount,bind,ro "$1/src" &&
        exec chroot "$1" /usr/bin/env -i PATH=/usr/bin:/bin HOME=/root LC_ALL=C /bin/sh -c "$2"' _ "$ROOT" "$2"
}

ROOT='' ROOT_MADE='' ROOT_FAULT='' ROOT_MISSING=

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

# shellcheck disable=SC2034 # ROOT_MADE: set here for the scripts that source this
root_prepare() { # RECORD MIRROR
    local suite include log making=(--variant=minbase) fault
    suite=$(record_suite "$1")
    ROOT=$ROOT_CACHE/$suite-$(root_key "$1" "$2") ROOT_MADE='' ROOT_FAULT=''
    [ "$(root_mode)" = root ] || ROOT+=-user
    [ -d "$ROOT/usr/bin" ] && return 0
    fault=$(userns_fault)
    [ -z "$fault" ] || { ROOT_FAULT=$fault; return 1; }
    include=$(buildinfo_toolchain "$1" | awk '{ printf "%s%s=%s", (NR > 1 ? "," : ""), $1, $2 }')
    making+=(--include="$include" --aptopt='Acquire::Check-Valid-Until "false"' "$suite")
    log=$ROOT.log
    mkdir -p "$ROOT_CACHE"
    leaves_behind "$ROOT.new"
    remove_leftover "$ROOT.new"
    if [ "$(root_mode)" = root ]; then
        timeout 1200 mmdebstrap --mode=root --format=directory "${making[@]}" "$ROOT.new" \
            "deb $2 $suite main" "deb $2 $suite-updates main" >"$log" 2>&1
    else
        # As a tar, unpacked as the user: the files are the user's own, and the
        # device nodes stay out (the build gets the system's /dev/null).
        mkdir "$ROOT.new" && set -o pipefail &&
            timeout 1200 mmdebstrap --mode=unshare --format=tar "${making[@]}" - \
                "deb $2 $suite main" "deb $2 $suite-updates main" 2>"$log" |
            tar -C "$ROOT.new" --exclude='./dev/*' -xf - 2>>"$log" &&
            : >"$ROOT.new/dev/null" && chmod -R u+w "$ROOT.new"
    fi || {
        remove_leftover "$ROOT.new"
        ROOT_FAULT="mmdebstrap could not make the $suite root from $2 ($(shown "$(grep -m1 '^E: ' "$log" || tail -n1 "$log")"); log: $log)"
        return 1
    }
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

# shellcheck disable=SC2034 # ROOT_FAULT: set here for the scripts that source this
root_build() { # OUT [DIR]
    local kept build=${2:-/build} built sources
    kept=$ROOT.builds/$(exe_sources_digest)
    if [ "${ROOT_REUSE_BUILDS:-yes}" = yes ] && [ -s "$kept.exe" ] && [ -s "$kept.sha256" ]; then
        copy_whole "$kept.exe" "$1" "$(cat "$kept.sha256")" && return 0
        # A kept exe that is not the one built (cut short by a full disk, say) is built again.
        rm -f "$kept.exe" "$kept.sha256"
    fi
    # The sources go in read-only (root_enter); the build tree is the root's own.
    rm -rf "$ROOT/src" "${ROOT:?}$build"
    mkdir -p "$ROOT/src" "$ROOT.builds"
    mapfile -t sources < <(exe_sources_here)
    tar -cf - "${sources[@]}" | tar -C "$ROOT/src" -xf -
    if ! root_enter 600 "cmake -S /src -B $build --toolchain /src/cmake/mingw-i686.cmake \
        -DCMAKE_BUILD_TYPE=Release -DCORVANDEL_EXE_ONLY=ON && cmake --build $build --target CorvandelUpdate" \
        >"$ROOT.build.log" 2>&1; then
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
    rm -rf "$ROOT/src" "${ROOT:?}$build"
}

root_versions() { TOOLCHAIN_ADMINDIR=$ROOT/var/lib/dpkg toolchain_versions; }
