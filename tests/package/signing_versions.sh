#!/usr/bin/env bash
# The signing tests once with the installed osslsigncode and once with each
# other one a user of this Debian release can install (its own and its
# backport), unpacked from Debian's packages into build/osslsigncode-RELEASE.
# Versions that cannot be fetched are skipped, and say why; they never count
# as passed.
#   tests/package/signing_versions.sh      (after the windows preset is built)
set -uo pipefail
cd "$(dirname "$0")/../.." || exit
release=$(. /etc/os-release 2>/dev/null && echo "${VERSION_CODENAME:-unknown}")
installed=$(dpkg-query -W -f='${Version}' osslsigncode 2>/dev/null || echo unknown)
# Each osslsigncode's run side by side with the others: they share nothing
# but this checkout's release root, which packaging locks while it builds.
logs=$(mktemp -d "${TMPDIR:-/tmp}/corvandel-signing-versions.XXXXXX")
trap 'rm -rf "$logs"' EXIT
names=() pids=() skipped=''
run() { # WHICH PATH-PREFIX
    names+=("$1")
    PATH=$2$PATH tests/package/signing_test.sh >"$logs/${#names[@]}.log" 2>&1 &
    pids+=($!)
}
run "$installed (installed)" ""
unpacked=build/osslsigncode-$release
if found=$(tests/package/fetch_osslsigncode.sh "$unpacked" 2>"$unpacked.why"); then
    while read -r -u 3 version suite program; do
        [ "$version" != "$installed" ] || continue
        run "$version ($suite's package, unpacked into ${program%/root/usr/bin/osslsigncode})" "$(dirname "$program"):"
    done 3<<<"$found"
else
    skipped="osslsigncode of $release and $release-backports: skipped: $(cat "$unpacked.why")"
fi
results=() status=0
for i in "${!names[@]}"; do
    if wait "${pids[i]}"; then result=passed; else result=failed status=1; fi
    cat "$logs/$((i + 1)).log"
    echo
    results+=("osslsigncode ${names[i]}: $result")
done
[ -z "$skipped" ] || results+=("$skipped")
printf '%s\n' "${results[@]}"
exit $status
