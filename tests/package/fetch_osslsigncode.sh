#!/usr/bin/env bash
# Unpacks Debian 12's osslsigncode VERSION (2.5 from bookworm, 2.9 from
# bookworm-backports) into DIR, without root and without touching the
# system's own apt state: a private apt, reading the system's Debian mirror,
# downloads the package and dpkg -x unpacks it. Prints the program's path.
#   tests/package/fetch_osslsigncode.sh VERSION DIR
# Exit status: 0 unpacked (or there already); 1 it cannot be had here, with
# the reason on stderr.
set -euo pipefail
version=$1 dir=$(realpath -m "$2")
program=$dir/root/usr/bin/osslsigncode
if [ -x "$program" ] && "$program" --version 2>/dev/null | grep -q "^osslsigncode $version,"; then
    echo "$program"
    exit 0
fi
cannot() {
    echo "osslsigncode $version cannot be fetched: $*" >&2
    exit 1
}

# The mirror the system installs Debian 12 from, else Debian's own.
mirror=$(apt-get indextargets --format '$(REPO_URI)' 'Codename: bookworm' 'Created-By: Packages' 2>/dev/null | head -n1)
mirror=${mirror:-http://deb.debian.org/debian/}
keyring=/usr/share/keyrings/debian-archive-keyring.gpg
[ -r "$keyring" ] || cannot "no $keyring to check Debian's signatures with"

rm -rf "$dir"
mkdir -p "$dir/apt/lists/partial" "$dir/apt/cache/archives/partial"
printf 'deb [signed-by=%s] %s %s main\n' "$keyring" "$mirror" bookworm "$keyring" "$mirror" bookworm-backports \
    >"$dir/apt/sources.list"
apt_private=(-o "Dir::Etc::sourcelist=$dir/apt/sources.list" -o Dir::Etc::sourceparts=-
    -o "Dir::State::Lists=$dir/apt/lists" -o "Dir::Cache=$dir/apt/cache" -o Dir::State::status=/dev/null
    -o "APT::Architectures::=$(dpkg --print-architecture)" -o Debug::NoLocking=1)
timeout 300 apt-get "${apt_private[@]}" update >"$dir/fetch.log" 2>&1 ||
    cannot "apt-get update failed ($(grep -m1 '^E: ' "$dir/fetch.log" || tail -n1 "$dir/fetch.log"))"
debian_version=$(apt-cache "${apt_private[@]}" madison osslsigncode 2>/dev/null |
    awk -F'|' -v v="$version" '{ gsub(/ /, "", $2) } index($2, v "-") == 1 { print $2; exit }')
[ -n "$debian_version" ] || cannot "no such version in bookworm or bookworm-backports on $mirror"
(cd "$dir" && timeout 300 apt-get "${apt_private[@]}" download "osslsigncode=$debian_version") >>"$dir/fetch.log" 2>&1 ||
    cannot "apt-get download osslsigncode=$debian_version failed ($(grep -m1 '^E: ' "$dir/fetch.log" || tail -n1 "$dir/fetch.log"))"
dpkg -x "$dir"/osslsigncode_*.deb "$dir/root"
"$program" --version >/dev/null 2>&1 || cannot "the unpacked $program does not start (its libraries: $(ldd "$program" | grep -c 'not found') missing)"
echo "$program"
