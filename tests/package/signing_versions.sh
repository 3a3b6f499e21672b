#!/usr/bin/env bash
# The signing tests once with the installed osslsigncode and once with each
# other version Debian 12 users get, unpacked from Debian's package into
# build/osslsigncode-VERSION. A version that cannot be fetched is skipped,
# and says why; it never counts as passed.
#   tests/package/signing_versions.sh      (after the windows preset is built)
set -uo pipefail
cd "$(dirname "$0")/../.."
source scripts/lib/signing.sh # OSSLSIGNCODE_SUPPORTED, osslsigncode_version
installed=$(osslsigncode_version)
results=() status=0
run() { # VERSION PATH-PREFIX
    local result
    if PATH=$2$PATH tests/package/signing_test.sh; then result=passed; else result=failed status=1; fi
    results+=("osslsigncode $1: $result")
}
run "$installed (installed)" ""
for version in "${OSSLSIGNCODE_SUPPORTED[@]}"; do
    [ "$version" != "$installed" ] || continue
    echo
    if program=$(tests/package/fetch_osslsigncode.sh "$version" "build/osslsigncode-$version" 2>"build/osslsigncode-$version.why"); then
        run "$version (Debian's package, unpacked into build/osslsigncode-$version)" "$(dirname "$program"):"
    else
        results+=("osslsigncode $version: skipped: $(cat "build/osslsigncode-$version.why")")
        echo "${results[-1]}"
    fi
done
echo
printf '%s\n' "${results[@]}"
exit $status
