#!/usr/bin/env bash
# scripts/setup against a mirror in mid-sync, with apt-get, dpkg-query, dpkg
# and sleep replaced by shims on PATH: a table of what apt does and what
# setup must then say, install and exit with. Nothing is installed.
#   tests/setup/setup_test.sh
set -uo pipefail
cd "$(dirname "$0")/../.." || exit
[ "$(id -u)" -eq 0 ] || { echo "setup_test: skipped: setup installs only as root"; exit 0; }
work=$(mktemp -d "${TMPDIR:-/tmp}/corvandel-setup-test.XXXXXX")
trap 'rm -rf "$work"' EXIT
passed=0 failed=0
check() { if "${@:2}"; then passed=$((passed + 1)); else echo "FAIL: $1"; failed=$((failed + 1)); fi; }

INDEX=http://deb.debian.org/debian-security/dists/bookworm-security/main/binary-i386/Packages.xz
mkdir -p "$work/bin"
# apt-get: "update" fails its first $UPDATE_FAILS calls as a mirror in
# mid-sync makes it fail (exit 100, one E: line per index); "install"
# succeeds as $INSTALLS says: plain, pinned (only with a preferences file), or none.
cat >"$work/bin/apt-get" <<'SHIM'
#!/bin/bash
echo "apt-get $*" >>"$SHIM_LOG"
case " $* " in
    *" update "*)
        count=$(($(cat "$SHIM_STATE" 2>/dev/null || echo 0) + 1)); echo $count >"$SHIM_STATE"
        [ "$count" -gt "$UPDATE_FAILS" ] && exit 0
        echo "E: Failed to fetch $INDEX  File has unexpected size (374820 != 376004). Mirror sync in progress? [IP: 203.0.113.80 80]"
        echo "E: Some index files failed to download. They have been ignored, or old ones used instead."
        exit 100 ;;
    *"Dir::Etc::preferences="*) grep -q 'Pin: release n=bookworm-security' "$(sed 's/.*Dir::Etc::preferences=\([^ ]*\).*/\1/' <<<"$*")" &&
        [ "$INSTALLS" != none ] ;;
    *" install "*) [ "$INSTALLS" = plain ] ;;
esac
SHIM
# dpkg-query -W -f=FORMAT PACKAGE...: a line each, NAME ARCH STATUS; wine64 and softhsm2 are not installed.
cat >"$work/bin/dpkg-query" <<'SHIM'
#!/bin/sh
shift 2
for package in "$@"; do
    case $package in wine32) arch=i386 ;; *) arch=amd64 ;; esac
    case $package in wine64 | softhsm2) echo "$package $arch not-installed" ;; *) echo "$package $arch installed" ;; esac
done
SHIM
printf '#!/bin/sh\necho i386\n' >"$work/bin/dpkg"
# shellcheck disable=SC2016 # expanded by the shell or tool it is given to, not here
printf '#!/bin/sh\necho "sleep $*" >>"$SHIM_LOG"\n' >"$work/bin/sleep"
chmod +x "$work/bin"/*

# name | failing updates | which install succeeds | exit | lines on stderr, ~ between them | the install it ran last
CASES=(
    "synced_at_once|0|plain|0||apt-get install -y -q wine64 softhsm2"
    "synced_on_the_third_try|2|plain|0|setup: apt-get update failed; trying again in 15 s~setup: apt-get update failed; trying again in 45 s|apt-get install -y -q wine64 softhsm2"
    "mid_sync_lists_suffice|9|plain|0|setup: apt-get update failed; trying again in 15 s~setup: apt-get update failed; trying again in 45 s~setup: apt-get update failed; trying again in 90 s~setup: warning: apt-get update could not fetch $INDEX after 4 tries: the mirror may be in mid-sync; installing from the package lists apt has|apt-get install -y -q wine64 softhsm2"
    "mid_sync_suite_held_back|9|pinned|0|setup: apt-get update failed; trying again in 15 s~setup: apt-get update failed; trying again in 45 s~setup: apt-get update failed; trying again in 90 s~setup: warning: apt-get update could not fetch $INDEX after 4 tries: the mirror may be in mid-sync; installing from the package lists apt has~setup: warning: installed without the updates in bookworm-security, whose index apt could not fetch; run apt-get update && apt-get upgrade once the mirror has synced|apt-get install -y -q -o Dir::Etc::preferences=@ wine64 softhsm2"
    "mid_sync_nothing_installs|9|none|1|setup: apt-get update failed; trying again in 15 s~setup: apt-get update failed; trying again in 45 s~setup: apt-get update failed; trying again in 90 s~setup: warning: apt-get update could not fetch $INDEX after 4 tries: the mirror may be in mid-sync; installing from the package lists apt has~setup: could not install wine64 softhsm2: apt-get update could not fetch $INDEX after 4 tries: the mirror may be in mid-sync|apt-get install -y -q -o Dir::Etc::preferences=@ wine64 softhsm2"
)
for row in "${CASES[@]}"; do
    IFS='|' read -r name fails installs expected_status expected last_install <<<"$row"
    log=$work/$name.log
    PATH=$work/bin:$PATH SHIM_LOG=$log SHIM_STATE=$work/$name.state UPDATE_FAILS=$fails INSTALLS=$installs INDEX=$INDEX \
        timeout 60 scripts/setup >"$work/$name.out" 2>"$work/$name.err"
    status=$?
    check "$name: exit status $expected_status, got $status" test $status -eq "$expected_status"
    check "$name: says $expected; said: $(cat "$work/$name.err")" \
        test "$(grep -v '^E: ' "$work/$name.err")" = "${expected//\~/$'\n'}"
    check "$name: its last install was: $last_install" \
        test "$(grep ' install ' "$log" | grep -v ' -s ' | tail -n1 | sed 's/preferences=[^ ]*/preferences=@/')" = "$last_install"
    check "$name: apt-get update ran $((fails < 4 ? fails + 1 : 4)) times" \
        test "$(grep -c '^apt-get update' "$log")" = $((fails < 4 ? fails + 1 : 4))
done
# The release setup runs on: the supported ones silently, any other with one
# line, and setup goes on to install all the same.
# name | /etc/os-release | the line on stderr
RELEASES=(
    'debian_13|PRETTY_NAME="Debian GNU/Linux 13 (trixie)"~ID=debian~VERSION_ID="13"|'
    'debian_12|PRETTY_NAME="Debian GNU/Linux 12 (bookworm)"~ID=debian~VERSION_ID="12"|'
    'ubuntu|PRETTY_NAME="Ubuntu 24.04.1 LTS"~ID=ubuntu~VERSION_ID="24.04"|setup: warning: Ubuntu 24.04.1 LTS is not supported; supported: Debian 13 (trixie) and Debian 12 (bookworm); trying anyway'
    'debian_testing|PRETTY_NAME="Debian GNU/Linux forky/sid"~ID=debian|setup: warning: Debian GNU/Linux forky/sid is not supported; supported: Debian 13 (trixie) and Debian 12 (bookworm); trying anyway'
    "no_os_release||setup: warning: this system (no release named in $work/no_os_release.os-release) is not supported; supported: Debian 13 (trixie) and Debian 12 (bookworm); trying anyway"
)
for row in "${RELEASES[@]}"; do
    IFS='|' read -r name os_release expected <<<"$row"
    [ -z "$os_release" ] || printf '%s\n' "${os_release//\~/$'\n'}" >"$work/$name.os-release"
    log=$work/$name.log
    PATH=$work/bin:$PATH SHIM_LOG=$log SHIM_STATE=$work/$name.state UPDATE_FAILS=0 INSTALLS=plain INDEX=$INDEX \
        CORVANDEL_OS_RELEASE=$work/$name.os-release timeout 60 scripts/setup >"$work/$name.out" 2>"$work/$name.err"
    status=$?
    check "$name: exit status 0, got $status" test $status -eq 0
    check "$name: says ${expected:-nothing}; said: $(cat "$work/$name.err")" test "$(cat "$work/$name.err")" = "$expected"
    check "$name: installs all the same" grep -q ' install -y -q wine64 softhsm2$' "$log"
done
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
