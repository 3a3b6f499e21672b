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
# give the same bytes. Every build there is sandboxed: it runs in a throwaway
# view of the cached root, discarded afterwards, with no network (a network
# namespace of its own), in PID, IPC and UTS namespaces of its own, and never
# as the machine's root. As root, the view is a copy of the root's folders
# with its files hard-linked (it works in a plain chroot, where a mount
# namespace cannot be made private), and the build runs as nobody (65534)
# with no new privileges: the cached root's files are root's, so it can write
# only its build folder and the view's /tmp. As anyone else, the view is an
# overlay over the cached root in the user namespace, and the build runs as
# an ordinary id of a user namespace nested in it, without capabilities, so
# that it cannot leave the view. Nothing the build writes outlives it but the
# exe. Source it after scripts/lib/release-record.sh and
# scripts/lib/debian-mirror.sh, from inside the repository; then:
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
#   root_build OUT [DIR]           CorvandelUpdate.exe built in a sandbox over ROOT from the exe
#                                  sources of commit BUILD_COMMIT (HEAD unless set) as git archive
#                                  gives them, never a working tree's, in DIR inside the root
#                                  (/build), copied to OUT whole: its SHA-256, taken as the build
#                                  wrote it, is checked on every copy. An earlier build of the same
#                                  sources in the same root is reused (ROOT_BUILD_KEPT names it)
#                                  unless ROOT_REUSE_BUILDS=no; ROOT_REUSE_BUILDS=verifier keeps
#                                  verification's builds apart from packaging's, so that a release
#                                  is never checked against the build that made it; status 1 with
#                                  ROOT_FAULT
# Records are checked (record_check) before they are given here. Whatever is
# written to the cache is written under a temporary name first, so that an
# interrupted run never leaves half an entry that a later one takes.

source "${BASH_SOURCE[0]%/*}/supervise.sh" # leaves_behind, remove_leftover
source "${BASH_SOURCE[0]%/*}/source-commit.sh"

# shellcheck disable=SC2034 # RELEASE_PIN: set here for the scripts that source this
RELEASE_PIN=cmake/release-toolchain.pin
ROOT_CACHE=$(cd "${BASH_SOURCE[0]%/*}/../.." && pwd)/build/release-root # this checkout's, wherever it is run from
ROOT_LOCK_SECONDS=3600
ROOT_REUSE_BUILDS=yes # never the caller's: a tool sets it for its own calls of root_build
ROOT_LOG_BYTES=$((4 << 20))
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
    # As the build will enter it: a chroot whose / is no mount point refuses the private propagation.
    refused=$(unshare --user --map-root-user --mount --propagation private true 2>&1) && return 0
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

# The ids a build runs as: nobody, as root; an ordinary id of the nested user
# namespace, as anyone else.
SANDBOX_ID=65534 SANDBOX_USER_ID=1000

# COMMAND run for at most SECONDS in the sandbox over ROOT whose files are in
# SCRATCH (root_view), in DIR: no network, its own PIDs, never the machine's
# root, no new privileges.
root_enter() { # SECONDS SCRATCH DIR COMMAND
    local shell=(/usr/bin/env -i PATH=/usr/bin:/bin HOME=/root LC_ALL=C /bin/sh -c "$4")
    if [ "$(root_mode)" = root ]; then
        timeout "$1" setpriv --no-new-privs unshare --net --pid --ipc --uts --fork --kill-child \
            --root="$2/view" --wd="$3" --setgid="$SANDBOX_ID" --setuid="$SANDBOX_ID" "${shell[@]}"
    else
        # The overlay is mounted in the user namespace; the build runs in one nested in
        # it, as an ordinary id without capabilities, and cannot leave its chroot.
        # shellcheck disable=SC2016 # expanded by the shell in the namespace
        timeout "$1" unshare --map-root-user --mount --propagation private --net --pid --ipc --uts --fork --kill-child \
            sh -c 'root=$1 scratch=$2 id=$3 dir=$4 && shift 4 &&
                mount -t overlay overlay -o "lowerdir=$root,upperdir=$scratch/upper,workdir=$scratch/work" "$scratch/view" &&
                mount --bind /dev/null "$scratch/view/dev/null" &&
                exec setpriv --no-new-privs unshare --user --map-user="$id" --map-group="$id" --root="$scratch/view" --wd="$dir" "$@"' \
            _ "$ROOT" "$2" "$SANDBOX_USER_ID" "$3" "${shell[@]}"
    fi
}

# A throwaway view of ROOT in SCRATCH/view, with the sources in /src and an
# empty build folder DIR that the build may write. The machine's terminals
# (console, tty, ptmx), which a root made as root holds, stay out of it.
root_view() { # SCRATCH DIR SOURCES-TAR
    if [ "$(root_mode)" = root ]; then
        cp -al "$ROOT" "$1/view" && rm -f "$1/view/dev/console" "$1/view/dev/tty" "$1/view/dev/ptmx" &&
            mkdir "$1/view/src" && tar -C "$1/view/src" --no-same-owner -xf "$3" &&
            chmod -R go-w "$1/view/src" && mkdir -p "$1/view$2" && chown "$SANDBOX_ID:$SANDBOX_ID" "$1/view$2"
    else
        mkdir "$1/view" "$1/upper" "$1/work" "$1/upper/src" && tar -C "$1/upper/src" -xf "$3" && mkdir -p "$1/upper$2"
    fi
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
# versions, mirror and Debian keyring, so that a root is reused exactly while
# they stay (and no root made before it was checked with that keyring alone).
root_key() { # RECORD MIRROR
    { record_suite "$1"; buildinfo_toolchain "$1"; echo "$2"; echo "keyring $(sha256sum <"$DEBIAN_KEYRING" | cut -d' ' -f1), signed-by"; } |
        sha256sum | cut -c1-16
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
    # Debian's keyring alone checks the packages: --keyring replaces only apt's trusted.gpg,
    # and apt would still take any key in the host's trusted.gpg.d, which signed-by shuts out.
    [ -r "$DEBIAN_KEYRING" ] || { ROOT_FAULT="no $DEBIAN_KEYRING to check Debian's packages with: as root, apt-get install debian-archive-keyring"; return 1; }
    making+=(--keyring="$DEBIAN_KEYRING" --include="$include" --aptopt='Acquire::Check-Valid-Until "false"' "$suite")
    log=$ROOT.log
    mkdir -p "$ROOT_CACHE"
    leaves_behind "$ROOT.new"
    remove_leftover "$ROOT.new"
    if [ "$(root_mode)" = root ]; then
        timeout 1200 mmdebstrap --mode=root --format=directory "${making[@]}" "$ROOT.new" \
            "deb [signed-by=$DEBIAN_KEYRING] $2 $suite main" "deb [signed-by=$DEBIAN_KEYRING] $2 $suite-updates main" >"$log" 2>&1
    else
        # As a tar, unpacked as the user: the files are the user's own, and the
        # device nodes stay out (the build gets the system's /dev/null).
        mkdir "$ROOT.new" && set -o pipefail &&
            timeout 1200 mmdebstrap --mode=unshare --format=tar "${making[@]}" - \
                "deb [signed-by=$DEBIAN_KEYRING] $2 $suite main" "deb [signed-by=$DEBIAN_KEYRING] $2 $suite-updates main" 2>"$log" |
            tar -C "$ROOT.new" --exclude='./dev/*' -xf - 2>>"$log" &&
            : >"$ROOT.new/dev/null" && chmod -R u+w "$ROOT.new"
    fi || {
        remove_leftover "$ROOT.new"
        ROOT_FAULT="mmdebstrap could not make the $suite root from $2 ($(shown "$(grep -m1 '^E: ' "$log" || tail -n1 "$log")"); log: $log)"
        return 1
    }
    remove_leftover "$ROOT"
    remove_leftover "$ROOT.builds"
    mv -T "$ROOT.new" "$ROOT"
    ROOT_MADE=yes
}

# A copy of FROM at TO, under a temporary name until it is whole: its SHA-256
# must be SHA256, the exe as it was built.
copy_whole() { # FROM TO SHA256
    rm -f "$2.partial"
    cp -- "$1" "$2.partial" && [ "$(sha256sum <"$2.partial" | cut -d' ' -f1)" = "$3" ] && mv -f -- "$2.partial" "$2" && return 0
    rm -f "$2.partial"
    return 1
}

# shellcheck disable=SC2034 # ROOT_FAULT, ROOT_BUILD_KEPT: set here for the scripts that source this
root_build() { # OUT [DIR]
    local kept build=${2:-/build} built commit scratch sources status=0
    git_fault "the commit to build" rev-parse --verify "${BUILD_COMMIT:-HEAD}^{commit}" >/dev/null ||
        { ROOT_FAULT=$GIT_FAULT; return 1; }
    commit=$(git rev-parse --verify "${BUILD_COMMIT:-HEAD}^{commit}")
    # The key: the sources, what git archive makes of them (.gitattributes), and how they are
    # built here; the builds of a root go with it when the root is made again.
    kept=$ROOT.builds/$({ commit_sources_digest "$commit"; git show "$commit:.gitattributes" 2>/dev/null
        declare -f root_build root_view root_enter; echo "$build $(root_mode)"; } | sha256sum | cut -c1-32)
    [ "$ROOT_REUSE_BUILDS" != verifier ] || kept+=.verifier
    ROOT_BUILD_KEPT=''
    # Only a kept build no one else could have put there is taken.
    if [ "$ROOT_REUSE_BUILDS" != no ] && [ -s "$kept.exe" ] && [ -s "$kept.sha256" ] &&
        [ -z "$(find "$ROOT.builds" "$kept.exe" "$kept.sha256" -maxdepth 0 \( ! -user "$(id -u)" -o -perm /022 \) -print)" ]; then
        copy_whole "$kept.exe" "$1" "$(cat "$kept.sha256")" && { ROOT_BUILD_KEPT=$kept.exe; return 0; }
        # A kept exe that is not the one built (cut short by a full disk, say) is built again.
        rm -f "$kept.exe" "$kept.sha256"
    fi
    mkdir -p "$ROOT.builds"
    scratch=$(mktemp -d "$ROOT_CACHE/sandbox.XXXXXX") || { ROOT_FAULT="could not make a sandbox in $ROOT_CACHE"; return 1; }
    leaves_behind "$scratch"
    mapfile -t sources < <(commit_sources "$commit")
    git_fault "the sources of commit ${commit:0:12}" archive --format=tar "$commit" -- "${sources[@]}" >"$scratch/sources.tar" || { ROOT_FAULT=$GIT_FAULT; remove_leftover "$scratch"; return 1; }
    root_view "$scratch" "$build" "$scratch/sources.tar" || {
        remove_leftover "$scratch"
        ROOT_FAULT="could not make the build's view of the root in $scratch"
        return 1
    }
    # The build gets neither the lock's file (root's, outside the sandbox) nor the terminal,
    # and of what it prints only the first ROOT_LOG_BYTES are kept.
    (
        root_unlock
        root_enter 600 "$scratch" "$build" "cmake -S /src -B $build --toolchain /src/cmake/mingw-i686.cmake \
            -DCMAKE_BUILD_TYPE=Release -DCORVANDEL_EXE_ONLY=ON && cmake --build $build --target CorvandelUpdate"
        echo "$?" >"$scratch/status"
    ) </dev/null 2>&1 | { head -c "$ROOT_LOG_BYTES" >"$ROOT.build.log"; cat >/dev/null; }
    # A build that said nothing of how it ended (killed outside the supervisor) did not succeed.
    status=$(cat "$scratch/status" 2>/dev/null || echo 1)
    [[ $status =~ ^[0-9]+$ ]] || status=1
    local exe=$scratch/view$build/CorvandelUpdate.exe
    [ "$(root_mode)" = root ] || exe=$scratch/upper$build/CorvandelUpdate.exe
    if [ "$status" -ne 0 ] || [ ! -f "$exe" ] || [ -L "$exe" ]; then
        remove_leftover "$scratch"
        ROOT_FAULT="the build in the root failed (log: $ROOT.build.log)"
        return 1
    fi
    built=$(sha256sum <"$exe" | cut -d' ' -f1)
    if [ "$ROOT_REUSE_BUILDS" != no ]; then
        { copy_whole "$exe" "$kept.exe" "$built" && echo "$built" >"$kept.sha256.partial" &&
            mv -f "$kept.sha256.partial" "$kept.sha256"; } || { remove_leftover "$scratch"; ROOT_FAULT="could not keep the exe built in the root"; return 1; }
    fi
    copy_whole "$exe" "$1" "$built" || { remove_leftover "$scratch"; ROOT_FAULT="could not copy the exe out of the root whole"; return 1; }
    remove_leftover "$scratch"
}

