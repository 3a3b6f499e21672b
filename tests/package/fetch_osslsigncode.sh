#!/usr/bin/env bash
# Unpacks every osslsigncode that a user of this machine's Debian release can
# install (the release's own and its backport: 2.5 and 2.9 on Debian 12) into
# DIR, without root and without touching the system's own apt state: a
# private apt, reading the system's Debian mirror, downloads each package and
# dpkg -x unpacks it. Each runs on this release's own libraries, as it would
# for that user. Prints one line per version: DEBIAN-VERSION SUITE PROGRAM.
#   tests/package/fetch_osslsigncode.sh DIR
# Exit status: 0 unpacked (or there already); 1 they cannot be had here, with
# the reason on stderr.
set -euo pipefail
dir=$(realpath -m "$1")
cd "$(dirname "$0")/../.."
cannot() {
    echo "osslsigncode cannot be fetched: $*" >&2
    exit 1
}
# What an earlier run unpacked, as long as every program is still there.
if [ -s "$dir/versions" ] && while read -r _ _ program; do [ -x "$program" ] || exit 1; done <"$dir/versions"; then
    cat "$dir/versions"
    exit 0
fi

release=$({ . /etc/os-release 2>/dev/null && echo "${VERSION_CODENAME:-}"; } || true)
[ -n "$release" ] || cannot "/etc/os-release names no Debian release"
source scripts/lib/debian-mirror.sh
mirror=$(debian_mirror)
rm -rf "$dir"
mirror_open "$dir/apt" "$mirror" "$release" "$release-backports" || cannot "$MIRROR_FAULT"
mirror_versions osslsigncode || cannot "$MIRROR_FAULT"
cut -d' ' -f2- <<<"$MIRROR_VERSIONS" | grep . >"$dir/found" || true
[ -s "$dir/found" ] || cannot "no osslsigncode in $release or $release-backports on $mirror"
while read -r version suite; do
    unpacked=$dir/$version
    mkdir -p "$unpacked"
    mirror_download "osslsigncode=$version" "$unpacked" >>"$dir/fetch.log" 2>&1 ||
        cannot "apt-get download osslsigncode=$version failed ($(grep -m1 '^E: ' "$dir/fetch.log" || tail -n1 "$dir/fetch.log"))"
    dpkg -x "$unpacked"/osslsigncode_*.deb "$unpacked/root"
    program=$unpacked/root/usr/bin/osslsigncode
    "$program" --version >/dev/null 2>&1 ||
        cannot "the unpacked $program does not start (its libraries: $(ldd "$program" | grep -c 'not found') missing)"
    echo "$version $suite $program"
done <"$dir/found" >"$dir/versions.new"
mv "$dir/versions.new" "$dir/versions"
cat "$dir/versions"
