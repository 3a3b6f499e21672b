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
cannot() {
    echo "osslsigncode cannot be fetched: $*" >&2
    exit 1
}
# What an earlier run unpacked, as long as every program is still there.
if [ -s "$dir/versions" ] && while read -r _ _ program; do [ -x "$program" ] || exit 1; done <"$dir/versions"; then
    cat "$dir/versions"
    exit 0
fi

release=$(. /etc/os-release 2>/dev/null && echo "${VERSION_CODENAME:-}" || true)
[ -n "$release" ] || cannot "/etc/os-release names no Debian release"
# The mirror the system installs this release from, else Debian's own.
mirror=$(apt-get indextargets --format '$(REPO_URI)' "Codename: $release" 'Created-By: Packages' 2>/dev/null | head -n1)
mirror=${mirror:-http://deb.debian.org/debian/}
keyring=/usr/share/keyrings/debian-archive-keyring.gpg
[ -r "$keyring" ] || cannot "no $keyring to check Debian's signatures with"

rm -rf "$dir"
mkdir -p "$dir/apt/lists/partial" "$dir/apt/cache/archives/partial"
printf 'deb [signed-by=%s] %s %s main\n' "$keyring" "$mirror" "$release" "$keyring" "$mirror" "$release-backports" \
    >"$dir/apt/sources.list"
apt_private=(-o "Dir::Etc::sourcelist=$dir/apt/sources.list" -o Dir::Etc::sourceparts=-
    -o "Dir::State::Lists=$dir/apt/lists" -o "Dir::Cache=$dir/apt/cache" -o Dir::State::status=/dev/null
    -o "APT::Architectures::=$(dpkg --print-architecture)" -o Debug::NoLocking=1)
timeout 300 apt-get "${apt_private[@]}" update >"$dir/fetch.log" 2>&1 ||
    cannot "apt-get update failed ($(grep -m1 '^E: ' "$dir/fetch.log" || tail -n1 "$dir/fetch.log"))"
# madison: "osslsigncode | 2.5-4 | http://... bookworm/main amd64 Packages"
apt-cache "${apt_private[@]}" madison osslsigncode 2>/dev/null |
    awk -F'|' '{ gsub(/ /, "", $2); split($3, where, " "); sub(/\/.*/, "", where[2]); print $2, where[2] }' |
    sort -u >"$dir/found"
[ -s "$dir/found" ] || cannot "no osslsigncode in $release or $release-backports on $mirror"
while read -r version suite; do
    unpacked=$dir/$version
    mkdir -p "$unpacked"
    (cd "$unpacked" && timeout 300 apt-get "${apt_private[@]}" download "osslsigncode=$version") >>"$dir/fetch.log" 2>&1 ||
        cannot "apt-get download osslsigncode=$version failed ($(grep -m1 '^E: ' "$dir/fetch.log" || tail -n1 "$dir/fetch.log"))"
    dpkg -x "$unpacked"/osslsigncode_*.deb "$unpacked/root"
    program=$unpacked/root/usr/bin/osslsigncode
    "$program" --version >/dev/null 2>&1 ||
        cannot "the unpacked $program does not start (its libraries: $(ldd "$program" | grep -c 'not found') missing)"
    echo "$version $suite $program"
done <"$dir/found" >"$dir/versions.new"
mv "$dir/versions.new" "$dir/versions"
cat "$dir/versions"
