# shellcheck shell=bash
# What a Debian mirror holds, asked through an apt of our own: its sources
# list, package lists and cache in a folder of the build tree, no root needed
# and the system's own apt state untouched. A mirror is the network's: every
# name and version it answers is checked for Debian's syntax before it is
# used. Source it; then:
#   debian_mirror                  the Debian mirror this machine installs from: the first source
#                                  whose InRelease is signed by Debian's archive keyring
#                                  (DEBIAN_KEYRING) and says, under that signature, Label Debian
#                                  (never another vendor's repository that calls itself Debian, nor
#                                  the security archive), else Debian's own
#   DEBIAN_KEYRING                 Debian's archive keyring: the only key the roots and the package
#                                  lists are checked with, never the host's trusted.gpg.d
#   mirror_open DIR MIRROR SUITE...
#                                  fetches the suites' package lists (main, this machine's
#                                  architecture) into DIR; MIRROR_FAULT says why when it fails.
#                                  Lists fetched whole from the same mirror, for the same suites
#                                  and keyring, less than MIRROR_FRESH_SECONDS ago (ten minutes; a
#                                  script that sources this may set it lower) are taken as they are
#   mirror_versions PACKAGE...     sets MIRROR_VERSIONS: "PACKAGE VERSION SUITE" a line, for each
#                                  version the opened suites hold; status 1 with MIRROR_FAULT when an
#                                  answer is not in Debian's syntax
#   mirror_download PACKAGE=VERSION DIR
#                                  the package's .deb into DIR
# An archive whose Release files have expired (Debian's snapshot archive at a
# past date) is read all the same: what it holds is signed, and old on purpose.

source "${BASH_SOURCE[0]%/*}/outside-values.sh"
DEBIAN_KEYRING=/usr/share/keyrings/debian-archive-keyring.gpg
DEBIAN_MIRROR=http://deb.debian.org/debian/
MIRROR_FRESH_SECONDS=600 # never the caller's: set here, lowered only by a script

# Asking apt takes a second or two where it keeps no package cache, so the
# answer is kept in DEBIAN_MIRROR_CACHE (when set) for as long as apt's
# configuration and Release files stay the same.
debian_mirror() {
    local filename component architecture release mirror='' key kept signed
    key=$({
        echo "signed text only" # the rule: a mirror chosen by an older one is not kept
        echo "${APT_CONFIG:-}"
        [ -z "${APT_CONFIG:-}" ] || cat "$APT_CONFIG" 2>/dev/null
        stat -c '%n %Y %s' /etc/apt/sources.list /etc/apt/sources.list.d/* /etc/apt/apt.conf.d/* \
            /var/lib/apt/lists/*Release "$DEBIAN_KEYRING" 2>/dev/null
    } | sha256sum | cut -c1-32)
    if [ -n "${DEBIAN_MIRROR_CACHE:-}" ] && [ "$(head -n1 "$DEBIAN_MIRROR_CACHE" 2>/dev/null)" = "$key" ]; then
        kept=$(sed -n 2p "$DEBIAN_MIRROR_CACHE")
        is_http_url "$kept" && { echo "$kept"; return; }
    fi
    # A Release file says whatever its maker likes: only what Debian's key signs counts.
    # gpgv prints the text whatever the signature, so only its exit status vouches for it.
    # shellcheck disable=SC2016 # apt's own $(FIELD) placeholders, not the shell's
    while IFS='|' read -r filename component architecture mirror; do
        is_http_url "$mirror" || { mirror=''; continue; }
        release=${filename%%_"${component//\//_}"_binary-"$architecture"_Packages*}_InRelease
        [ -f "$release" ] && signed=$(gpgv --keyring "$DEBIAN_KEYRING" --output - "$release" 2>/dev/null) &&
            [ "$(sed -n '/^$/q; s/^Label: //p' <<<"$signed")" = Debian ] && break
        mirror=''
    done < <(apt-get indextargets --format '$(FILENAME)|$(COMPONENT)|$(ARCHITECTURE)|$(REPO_URI)' 'Created-By: Packages' 2>/dev/null)
    mirror=${mirror:-$DEBIAN_MIRROR}
    if [ -n "${DEBIAN_MIRROR_CACHE:-}" ] && mkdir -p "${DEBIAN_MIRROR_CACHE%/*}" 2>/dev/null; then
        printf '%s\n%s\n' "$key" "$mirror" >"$DEBIAN_MIRROR_CACHE.$$" && mv -f "$DEBIAN_MIRROR_CACHE.$$" "$DEBIAN_MIRROR_CACHE"
    fi
    echo "$mirror"
}

MIRROR_APT=() MIRROR_FAULT=
mirror_open() { # DIR MIRROR SUITE...
    local dir=$1 mirror=$2 suite fresh age sources
    shift 2
    MIRROR_FAULT=
    is_http_url "$mirror" || { MIRROR_FAULT="$(shown "$mirror") is not an http(s) URL of a mirror"; return 1; }
    for suite in "$@"; do is_debian_suite "$suite" || { MIRROR_FAULT="$(shown "$suite") is not a Debian suite's name"; return 1; }; done
    [ -r "$DEBIAN_KEYRING" ] || { MIRROR_FAULT="no $DEBIAN_KEYRING to check Debian's signatures with"; return 1; }
    mkdir -p "$dir/lists/partial" "$dir/cache/archives/partial"
    sources=$(for suite in "$@"; do printf 'deb [signed-by=%s] %s %s main\n' "$DEBIAN_KEYRING" "$mirror" "$suite"; done)
    # Written only when it changes: apt builds its package cache anew, half a
    # second of processor time, whenever the sources list is newer than the cache.
    [ "$(cat "$dir/sources.list" 2>/dev/null)" = "$sources" ] || printf '%s\n' "$sources" >"$dir/sources.list"
    MIRROR_APT=(-o "Dir::Etc::sourcelist=$dir/sources.list" -o Dir::Etc::sourceparts=-
        -o "Dir::State::Lists=$dir/lists" -o "Dir::Cache=$dir/cache" -o Dir::State::status=/dev/null
        -o Dir::Cache::pkgcache=pkgcache.bin -o Dir::Cache::srcpkgcache=srcpkgcache.bin
        -o "APT::Architectures::=$(dpkg --print-architecture)" -o Debug::NoLocking=1
        -o Acquire::Check-Valid-Until=false -o Acquire::AllowInsecureRepositories=false
        -o Acquire::AllowDowngradeToInsecureRepositories=false)
    # Every update reads the whole lists again, about a second of processor time, and a
    # mirror's suites change a few times a day: what one update fetched whole is taken
    # again for a few minutes, for the same sources and keyring (the stamp says which).
    fresh=$({ cat "$dir/sources.list"; sha256sum <"$DEBIAN_KEYRING"; } | sha256sum | cut -c1-32)
    age=$(($(date +%s) - $(stat -c %Y "$dir/fresh" 2>/dev/null || echo 0)))
    if [ "$(cat "$dir/fresh" 2>/dev/null)" = "$fresh" ] && [ "$age" -ge 0 ] && [ "$age" -lt "$MIRROR_FRESH_SECONDS" ] &&
        [ -s "$dir/cache/pkgcache.bin" ]; then
        return 0
    fi
    rm -f "$dir/fresh"
    # An index that cannot be fetched is an error (--error-on=any), not a warning apt ignores.
    if ! timeout 300 apt-get "${MIRROR_APT[@]}" update --error-on=any >"$dir/update.log" 2>&1 ||
        grep -q '^E: ' "$dir/update.log"; then
        MIRROR_FAULT="apt-get update of $* from $mirror failed ($(grep -m1 '^E: ' "$dir/update.log" || tail -n1 "$dir/update.log"))"
        return 1
    fi
    echo "$fresh" >"$dir/fresh.new" && mv -f "$dir/fresh.new" "$dir/fresh"
}

# One apt-cache for them all: each reads the whole package lists, a second or so.
MIRROR_VERSIONS=
# shellcheck disable=SC2034 # MIRROR_FAULT, MIRROR_VERSIONS: set here for the scripts that source this
mirror_versions() { # PACKAGE...
    local answers package version suite
    MIRROR_VERSIONS='' MIRROR_FAULT=
    # madison: "osslsigncode | 2.5-4 | http://... bookworm/main amd64 Packages"
    answers=$(apt-cache "${MIRROR_APT[@]}" madison "$@" 2>/dev/null |
        awk -F'|' '{ gsub(/ /, "", $1); gsub(/ /, "", $2); split($3, where, " "); sub(/\/.*/, "", where[2]); print $1, $2, where[2] }' | sort -u)
    while read -r package version suite; do
        [ -n "$package" ] || continue
        { is_debian_package "$package" && is_debian_version "$version" && is_debian_suite "$suite"; } || {
            MIRROR_FAULT="the mirror answered \"$(shown "$package $version $suite")\", which is not a Debian package, version and suite"
            return 1
        }
    done <<<"$answers"
    MIRROR_VERSIONS=$answers
}

mirror_download() { # PACKAGE=VERSION DIR
    (cd "$2" && timeout 300 apt-get "${MIRROR_APT[@]}" download "$1")
}
