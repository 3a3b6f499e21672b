#!/usr/bin/env bash
# scripts/package on kits made from the component fixtures: a good kit
# (names in another case, one component larger than its row's byte counts)
# packaged twice unsigned and twice signed with a throwaway certificate, and a
# table of bad kits that must be refused and of calls that cannot be carried
# out. Every packaging runs the real command, dry run included.
#   tests/package/package_test.sh      (after the windows preset is built)
set -uo pipefail
cd "$(dirname "$0")/../.." || exit
source tests/package/package_lib.sh
make_kit "$work/good" "${GOOD[@]}"
# The notes as a hard link to a file outside the kit: its bytes are the kit's own.
printf 'Corvandel patch notes\r\n' >"$work/notes-elsewhere.txt"
ln -f "$work/notes-elsewhere.txt" "$work/good/QuilbrexPatch.TXT"

# ------------------------------------------------------------- a good kit
# What a good packaging leaves: the four files, their sums and the zip.
OUTDATED_PATTERN=${PLAN_OUTDATED_VERSION//./\\.}
check_output() { # NAME OUT
    local name=$1 out=$2 file record=(BUILDINFO) extra=()
    [ ! -e "$out/CorvandelUpdate.exe.pem" ] || record=(BUILDINFO CorvandelUpdate.exe.pem) extra=(SHA256SUMS.p7s)
    check "$name: OUT_DIR holds the patch, its record and nothing else" \
        test "$(find "$out" -mindepth 1 -maxdepth 1 -printf '%f\n' | sort | xargs)" = "$(printf '%s\n' CorvandelPatch.zip CorvandelUpdate.exe Kestovar.ocx QuilbrexPatch.txt SHA256SUMS Sorvalen.ocx "${record[@]}" "${extra[@]}" | sort | xargs)"
    check "$name: SHA256SUMS covers the four files and the record, and they match" \
        bash -c "cd '$out' && test \"\$(cut -d' ' -f3 SHA256SUMS | xargs)\" = 'CorvandelUpdate.exe Kestovar.ocx Sorvalen.ocx QuilbrexPatch.txt ${record[*]}' && sha256sum --quiet -c SHA256SUMS"
    check "$name: the zip holds the four files at its top level, in order" \
        test "$(unzip -Z1 "$out/CorvandelPatch.zip" | xargs)" = "CorvandelUpdate.exe Kestovar.ocx Sorvalen.ocx QuilbrexPatch.txt"
    for file in CorvandelUpdate.exe Kestovar.ocx Sorvalen.ocx QuilbrexPatch.txt; do
        check "$name: the zip's $file is OUT_DIR's" cmp -s <(unzip -p "$out/CorvandelPatch.zip" "$file") "$out/$file"
    done
    check "$name: the kit's files under the program's names, the hard-linked notes too" \
        bash -c "cmp -s '$work/good/kestovar.OCX' '$out/Kestovar.ocx' && cmp -s '$work/good/SORVALEN.OCX' '$out/Sorvalen.ocx' && cmp -s '$work/notes-elsewhere.txt' '$out/QuilbrexPatch.txt'"
    check "$name: the exe passes its shape check" \
        output_into /dev/null tests/wine/check_exe.sh i686-w64-mingw32-objdump "$out/CorvandelUpdate.exe"
    check "$name: the large component is warned about with both byte counts" \
        grep -qF "package: warning: kestovar.OCX is 403072 bytes, more than both byte counts the patch demands room for on its row ($(ROWS_OF Kestovar.ocx))" "$work/$name.err"
    check "$name: names are compared without regard to case" bash -c "! grep -q 'calls itself' '$work/$name.err'"
    check "$name: the dry run's table is printed" grep -qE "^  Kestovar.old +- +$OUTDATED_PATTERN +$OUTDATED_PATTERN\$" "$work/$name.out"
}

# The release roots, each as "DIR INODE MTIME": a root reused is the same folder, untouched. The
# mirror's lists beside them (apt-SUITE) are no root: they are fetched again once a few minutes old.
roots() { find build/release-root -mindepth 1 -maxdepth 1 -type d -name '*-*' ! -name '*.*' ! -name 'apt-*' -printf '%p %i %T@\n' 2>/dev/null | sort; }
package unsigned-1 "$work/good" "$work/unsigned-1" # alone: it may make the release root
roots_before=$(roots)
# Every other packaging of this test, side by side (PACKAGE_JOBS at a time); the checks follow.
# A throwaway certificate, and a record of the arguments that osslsigncode and
# openssl are given, which must never hold the password.
signing=$work/signing
mkdir -p "$signing/bin"
CORVANDEL_PFX_PASSWORD="throwaway-$(openssl rand -hex 12)"
export CORVANDEL_PFX_PASSWORD
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$signing/key.pem" -out "$signing/cert.pem" -days 2 \
    -subj "/CN=Corvandel Test Signing" -addext extendedKeyUsage=codeSigning 2>/dev/null
openssl pkcs12 -export -inkey "$signing/key.pem" -in "$signing/cert.pem" -out "$signing/test.pfx" \
    -passout env:CORVANDEL_PFX_PASSWORD
record_arguments "$signing/bin" "$signing/arguments" osslsigncode openssl
signed_time=1765000000 # 2025-12-06 05:46:40 UTC
# A PFX without a password, on a kit whose components carry each other's names.
openssl pkcs12 -export -inkey "$signing/key.pem" -in "$signing/cert.pem" -out "$signing/open.pfx" -passout pass:
make_kit "$work/swapped" Kestovar.ocx=sorvalen-updated Sorvalen.ocx=kestovar-updated QuilbrexPatch.txt=notes
# A kit signed in part by the component team's own key, whose root --ca names;
# Kestovar.ocx padded so that signing takes it past both byte counts of its row.
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$signing/kit-key.pem" -out "$signing/kit-cert.pem" -days 2 \
    -subj "/CN=Corvandel Kit Signing" -addext extendedKeyUsage=codeSigning 2>/dev/null
kit_sign() { rm -f "$2" && osslsigncode sign -certs "$signing/kit-cert.pem" -key "$signing/kit-key.pem" -h sha256 -in "$1" -out "$2" >/dev/null; }
make_kit "$work/team-signed" "${BASE[@]}"
kit_sign "$fixtures/sorvalen-updated.dll" "$work/team-signed/Sorvalen.ocx"
# Short of the larger byte count of its row by less than a signature adds.
read -r bytes_a bytes_b <<<"${PLAN_ROW_BYTES[Kestovar.ocx]}"
padded_to=$(((bytes_a > bytes_b ? bytes_a : bytes_b) - 600))
{ cat "$fixtures/kestovar-updated.dll" && head -c $((padded_to - $(stat -c %s "$fixtures/kestovar-updated.dll"))) /dev/zero; } \
    >"$work/team-signed/Kestovar.ocx"
# Signed, then changed: the signature no longer verifies, and the kit is refused.
make_kit "$work/broken" "${BASE[@]}"
kit_sign "$fixtures/sorvalen-updated.dll" "$work/broken/Sorvalen.ocx"
printf X | dd of="$work/broken/Sorvalen.ocx" bs=1 seek=80 conv=notrunc status=none # in the DOS stub: hashed, never run
package_alongside unsigned-2 "$work/good" "$work/unsigned-2"
CORVANDEL_WINE_32BIT=no package_alongside twin "$work/good" "$work/twin"
for run in 1 2; do
    PATH=$signing/bin:$PATH SOURCE_DATE_EPOCH=$signed_time package_alongside "signed-$run" "$work/good" "$work/signed-$run" \
        --pfx "$signing/test.pfx"
done
CORVANDEL_PFX_PASSWORD='' package_alongside signed-open "$work/swapped" "$work/signed-open" --pfx "$signing/open.pfx"
CORVANDEL_PFX_PASSWORD='' package_alongside components-signed "$work/team-signed" "$work/components-signed" \
    --pfx "$signing/open.pfx" --sign-components --ca "$signing/kit-cert.pem"
package_alongside broken-signature "$work/broken" "$work/out-broken" --ca "$signing/kit-cert.pem"
mkdir -p "$work/full" && echo "not ours" >"$work/full/keep.txt"
echo "a file of the packaging machine" >"$work/private.txt"
make_kit "$work/linked-kit" "${BASE[@]}" QuilbrexPatch.txt=@../private.txt
ln -s linked-kit "$work/kit-link" # a kit folder named through a link is followed
BUILD_ZERO=${PLAN_OUTDATED_VERSION%.*.*}.0.0 # the fixtures' build-zero role: a version of the family the patch refuses
# The kit read as scripts/package reads it (scripts/lib/kit.sh), without the build and Wine
# before it: each component reads as the version the patch installs. Output and status as
# package_alongside leaves them, status 1 when the kit is refused.
kit_read() { # NAME KIT
    # shellcheck disable=SC2016 # expanded by the shell that reads the kit
    bash -c 'source scripts/lib/release-record.sh && source scripts/lib/patch-world.sh && source scripts/lib/kit.sh || exit 3
        staging=$1 faults=()
        say() { :; }
        warn() { echo "package: warning: $*" >&2; }
        fault() { faults+=("$*"); }
        stop() { echo "package: $*" >&2; exit 2; }
        patch_world_start() { :; }
        file_versions() { for _ in "$@"; do echo "$PLAN_UPDATED_VERSION"; done; }
        check_kit "$2" "$2"
        [ ${#faults[@]} -eq 0 ] || { printf "package: %s\n" "${faults[@]}" >&2; exit 1; }' _ "$work/staging-$1" "$2" \
        >"$work/$1.out" 2>"$work/$1.err"
    echo $? >"$work/$1.status"
}
# name | exit status | "kit" (packaged) or "read" (only read, as above) and the changes to a good kit,
#   or the arguments | the one line it must print
REFUSALS=(
    "component_at_build_zero|1|kit Kestovar.ocx=kestovar-build-zero|Kestovar.ocx is $BUILD_ZERO; the patch installs $PLAN_UPDATED_VERSION and would refuse $BUILD_ZERO on its next run"
    "component_outdated|1|kit Sorvalen.ocx=sorvalen-outdated|Sorvalen.ocx is $PLAN_OUTDATED_VERSION; the patch installs $PLAN_UPDATED_VERSION and would replace $PLAN_OUTDATED_VERSION again on every run"
    "no_version_resource|1|kit Sorvalen.ocx=no-version|Sorvalen.ocx has no version resource"
    "notes_missing|1|read QuilbrexPatch.txt=-|QuilbrexPatch.txt is missing from KIT_DIR ($work/kits/notes_missing)"
    "stray_version_dll|1|read version.dll=kestovar-updated|version.dll does not belong in a patch kit: it would be loaded by programs started beside it"
    "folder_in_kit|1|read tools=/|tools does not belong in a patch kit: it is a folder, and a kit holds only Kestovar.ocx Sorvalen.ocx QuilbrexPatch.txt"
    "one_name_twice|1|read KESTOVAR.OCX=kestovar-updated|Kestovar.ocx and KESTOVAR.OCX are one file on Windows, where names ignore case: keep one"
    "component_is_a_folder|1|read Sorvalen.ocx=/|Sorvalen.ocx is a folder, not a file"
    "notes_link_outside|1|kit QuilbrexPatch.txt=@$work/private.txt|QuilbrexPatch.txt is a symbolic link to $work/private.txt: put the file itself in the kit"
    "component_link_inside|1|read Kestovar.ocx=@Sorvalen.ocx|Kestovar.ocx is a symbolic link to Sorvalen.ocx: put the file itself in the kit"
    "component_link_to_folder|1|read Sorvalen.ocx=@/usr/share|Sorvalen.ocx is a symbolic link to /usr/share: put the file itself in the kit"
    "kit_folder_is_a_link|1|$work/kit-link $work/out-kit_folder_is_a_link|QuilbrexPatch.txt is a symbolic link to ../private.txt: put the file itself in the kit"
    "out_dir_not_empty|2|$work/good $work/full|OUT_DIR $work/full is not empty; packaging never writes over existing files"
    "no_out_dir|2|$work/good|needs KIT_DIR and OUT_DIR; usage: scripts/package KIT_DIR OUT_DIR [--pfx FILE | --pkcs11-module LIB --pkcs11-key URI [--cert CHAIN.pem]] [--sign-components] [--timestamp URL]... [--tsa-ca FILE] [--ca FILE]"
    "sign_components_unsigned|2|$work/good $work/out-sign_components_unsigned --sign-components|--sign-components needs --pfx or --pkcs11-key: the components are signed with the release's key"
    "kit_not_a_folder|2|$work/none $work/out-kit_not_a_folder|KIT_DIR $work/none is not a folder"
    "wrong_password|2|$work/good $work/out-wrong_password --pfx $signing/test.pfx|$signing/test.pfx: not a PKCS#12 file that opens with the password in CORVANDEL_PFX_PASSWORD"
)
for row in "${REFUSALS[@]}"; do
    IFS='|' read -r name expected_status call expected <<<"$row"
    read -ra arguments <<<"$call"
    if [ "${arguments[0]}" = kit ] || [ "${arguments[0]}" = read ]; then
        make_kit "$work/kits/$name" "${BASE[@]}" "${arguments[@]:1}"
        [ "${arguments[0]}" = kit ] || { kit_read "$name" "$work/kits/$name"; continue; }
        arguments=("$work/kits/$name" "$work/out-$name")
    fi
    CORVANDEL_PFX_PASSWORD=wrong package_alongside "$name" "${arguments[@]}"
done
packages_wait
for run in 1 2; do
    packaged "unsigned-$run"
    check "unsigned-$run: exit status 0, got $status ($(tail -n1 "$work/unsigned-$run.err"))" test "$status" = 0
    check_output "unsigned-$run" "$work/unsigned-$run"
done
check "unsigned-2: the release root was reused: the same folder, untouched ($roots_before; now $(roots))" \
    test "$(roots)" = "$roots_before"
check "unsigned-2: the summary does not say the root was made" bash -c "! grep -q 'making the release root\|made for this packaging' '$work/unsigned-2.out'"
check "unsigned: the summary says so" has_line "$work/unsigned-1.out" \
    "package: unsigned: Windows warns users who download unsigned programs"
unsigned_exe_sha256=$(sed -n 's/^Unsigned-Exe-Sha256: //p' "$work/unsigned-1/BUILDINFO")
check "unsigned: the exe is the unsigned exe BUILDINFO records" \
    test "$(sha256sum <"$work/unsigned-1/CorvandelUpdate.exe" | cut -d' ' -f1)" = "$unsigned_exe_sha256"
source scripts/lib/release-record.sh
check "unsigned: BUILDINFO records the pinned suite and versions" test \
    "$(buildinfo_field "$work/unsigned-1/BUILDINFO" Build-Suite) $(buildinfo_toolchain "$work/unsigned-1/BUILDINFO" | xargs)" = \
    "$(buildinfo_field cmake/release-toolchain.pin Build-Suite) $(buildinfo_toolchain cmake/release-toolchain.pin | xargs)"
check "unsigned: two packagings give the same zip" cmp -s "$work/unsigned-1/CorvandelPatch.zip" "$work/unsigned-2/CorvandelPatch.zip"

# The dry run patches 64-bit Windows with the shipped exe where this machine
# runs 32-bit programs, else with the x86-64 twin, and says which. Made to
# take the twin's path here too, packaging must give the same patch.
source scripts/lib/wine-host.sh
SHIPPED_LINE="package: dry run: the shipped exe, under WOW64 on a 64-bit prefix, as on 64-bit Windows"
TWIN_LINE="package: dry run: the x86-64 build of the same sources; this machine cannot run the shipped 32-bit exe"
wine_runs_32bit && expected_line=$SHIPPED_LINE || expected_line=$TWIN_LINE
check "unsigned: the summary says which exe the dry run ran: $expected_line" has_line "$work/unsigned-1.out" "$expected_line"
packaged twin
check "twin: exit status 0, got $status ($(tail -n1 "$work/twin.err"))" test "$status" = 0
check "twin: the summary says the twin ran" has_line "$work/twin.out" "$TWIN_LINE"
check "twin: the 64-bit helper read the 32-bit components' versions" \
    grep -qF "package: kit: Kestovar.ocx $PLAN_UPDATED_VERSION (403072 bytes), Sorvalen.ocx $PLAN_UPDATED_VERSION" "$work/twin.out"
check "twin: the dry run's table is printed" grep -qE "^  Kestovar.old +- +$OUTDATED_PATTERN +$OUTDATED_PATTERN\$" "$work/twin.out"
check "twin: the zip is the one the shipped exe's dry run gives" cmp -s "$work/unsigned-1/CorvandelPatch.zip" "$work/twin/CorvandelPatch.zip"

for run in 1 2; do
    packaged "signed-$run"
    check "signed-$run: exit status 0, got $status ($(tail -n1 "$work/signed-$run.err"))" test "$status" = 0
    check_output "signed-$run" "$work/signed-$run"
done
check "signed: the signature verifies against the certificate" output_into "$work/verify.out" \
    osslsigncode verify -in "$work/signed-1/CorvandelUpdate.exe" -CAfile "$signing/cert.pem"
check "signed: the signing time is SOURCE_DATE_EPOCH" grep -q 'Signing time: Dec  6 05:46:40 2025' "$work/verify.out"
check "signed: the description is the program's title" grep -q 'Text description: Corvandel Plenthor 7.0 Update' "$work/verify.out"
check "signed: the summary says so" grep -q '^package: signed: CN = Corvandel Test Signing, SHA-256, RSA 2048-bit key, signing time 2025-12-06 05:46:40 UTC' "$work/signed-1.out"
check "signed: two packagings give the same zip" cmp -s "$work/signed-1/CorvandelPatch.zip" "$work/signed-2/CorvandelPatch.zip"
check "signed: the detached signature is written, unsigned it is not" \
    test -s "$work/signed-1/CorvandelUpdate.exe.pem" -a ! -e "$work/unsigned-1/CorvandelUpdate.exe.pem"
# What BUILDINFO records, for a signed and an unsigned packaging.
field() { sed -n "s/^$2: //p" "$work/$1/BUILDINFO"; }
digest() { sha256sum <"$1" | cut -d' ' -f1; }
for run in signed-1 unsigned-1; do
    check "$run: BUILDINFO names the commit" test "$(field $run Commit)" = "$(git rev-parse HEAD)"
    check "$run: BUILDINFO says the exe's sources were the commit's" test "$(field $run Source-Tree)" = clean
    check "$run: BUILDINFO gives the unsigned exe's SHA-256, the same signed or not" test "$(field $run Unsigned-Exe-Sha256)" = "$unsigned_exe_sha256"
    check "$run: BUILDINFO gives the released exe's SHA-256" test "$(field $run Released-Exe-Sha256)" = "$(digest "$work/$run/CorvandelUpdate.exe")"
    check "$run: BUILDINFO gives the mingw compiler's pinned Debian version" \
        grep -qxF "$(grep '^ g++-mingw-w64-i686-posix ' cmake/release-toolchain.pin)" "$work/$run/BUILDINFO"
    check "$run: BUILDINFO says the exe was built in a pinned root" \
        test "$(field $run Build-Root)" = "mmdebstrap --variant=minbase, the versions below pinned"
done
check "signed-1: BUILDINFO gives the signature's SHA-256" test "$(field signed-1 Signature-Sha256)" = "$(digest "$work/signed-1/CorvandelUpdate.exe.pem")"
check "signed-1: BUILDINFO gives SOURCE_DATE_EPOCH" test "$(field signed-1 Source-Date-Epoch)" = "$signed_time"
check "signed-1: BUILDINFO gives the osslsigncode version" \
    test "$(field signed-1 Osslsigncode)" = "$(osslsigncode --version | sed -n '1s/^osslsigncode \([0-9.]*\),.*/\1/p')"
check "unsigned-1: BUILDINFO has no signature" bash -c "! grep -q '^Signature-Sha256:' '$work/unsigned-1/BUILDINFO'"
# shellcheck disable=SC2016 # the password stays in the environment, never in an argument
check "signed: the password is in no argument, output or file written" \
    bash -c '! grep -rqF -- "$CORVANDEL_PFX_PASSWORD" "$1"/signed-* "$1"/signing/arguments "$1"/*.out "$1"/*.err' _ "$work"
check "signed: the tools' arguments were recorded, so the check above means something" test -s "$signing/arguments"
# A PFX without a password, on a kit whose components carry each other's names.
packaged signed-open
check "signed-open: a PFX without a password signs, got $status ($(tail -n1 "$work/signed-open.err"))" test "$status" = 0
check "signed-open: and verifies" output_into /dev/null \
    osslsigncode verify -in "$work/signed-open/CorvandelUpdate.exe" -CAfile "$signing/cert.pem"
check "signed-open: components that name each other are warned about" has_line "$work/signed-open.err" \
    "package: warning: Kestovar.ocx calls itself Sorvalen.ocx in its version resource (OriginalFilename): check that it is the right file"

# ------------------------------------------------ the components' own signatures
UNSIGNED="is not signed: where Smart App Control or an App Control for Business policy is on, Windows blocks an unsigned DLL from loading, so Corvandel could not load it, and its Properties show no publisher; have the component team sign it, or sign it with the release's key (--sign-components)"
for name in Kestovar.ocx Sorvalen.ocx; do
    check "unsigned-1: $name is warned about as unsigned, with what Windows does with it" \
        has_line "$work/unsigned-1.err" "package: warning: $name $UNSIGNED"
    check "unsigned-1: BUILDINFO records $name as unsigned" has_line "$work/unsigned-1/BUILDINFO" "Component-Signer-$name: none"
done
openssl cms -verify -binary -inform DER -in "$work/signed-1/SHA256SUMS.p7s" -content "$work/signed-1/SHA256SUMS" \
    -CAfile "$signing/cert.pem" -purpose any -out /dev/null >"$work/sums-verify.log" 2>&1
check "signed-1: SHA256SUMS.p7s verifies over SHA256SUMS, with the command docs/verifying.md gives; it printed: $(cat "$work/sums-verify.log")" \
    has_line "$work/sums-verify.log" "CMS Verification successful"
check "signed-1: a signing certificate not in release/publishers is warned about" \
    grep -q "^package: warning: the signing certificate of CN = Corvandel Test Signing (.*) is not in release/publishers: " "$work/signed-1.err"
# A kit signed in part by the component team's own key, whose root --ca names.
packaged components-signed
out=$work/components-signed
check "components-signed: exit status 0, got $status ($(tail -n1 "$work/components-signed.err"))" test "$status" = 0
check "components-signed: Kestovar.ocx was signed with the release's key, and says it still reads $PLAN_UPDATED_VERSION" \
    has_line "$work/components-signed.out" "package: Kestovar.ocx: signed with the release's key as CN = Corvandel Test Signing; still $PLAN_UPDATED_VERSION"
check "components-signed: it verifies" output_into /dev/null osslsigncode verify -in "$out/Kestovar.ocx" -CAfile "$signing/cert.pem"
check "components-signed: the row's byte counts are checked against its signed size" \
    grep -q "^package: warning: Kestovar.ocx, signed, is [0-9]* bytes, more than both byte counts the patch demands room for on its row ($(ROWS_OF Kestovar.ocx))" "$work/components-signed.err"
check "components-signed: the component team's signature on Sorvalen.ocx is left as it is, and named" bash -c \
    "cmp -s '$work/team-signed/Sorvalen.ocx' '$out/Sorvalen.ocx' && grep -qxF 'package: Sorvalen.ocx: signed by /CN=Corvandel Kit Signing, and the signature verifies; it is left as it is, never signed again' '$work/components-signed.out'"
check "components-signed: BUILDINFO records each component's signer" bash -c \
    "grep -qxF 'Component-Signer-Kestovar.ocx: $(openssl x509 -in "$signing/cert.pem" -noout -fingerprint -sha256 | sed 's/^.*=//') CN = Corvandel Test Signing' '$out/BUILDINFO' &&
     grep -qxF 'Component-Signer-Sorvalen.ocx: $(openssl x509 -in "$signing/kit-cert.pem" -noout -fingerprint -sha256 | sed 's/^.*=//') /CN=Corvandel Kit Signing' '$out/BUILDINFO'"
check "components-signed: the zip holds the signed components" bash -c \
    "cmp -s <(unzip -p '$out/CorvandelPatch.zip' Kestovar.ocx) '$out/Kestovar.ocx' && ! cmp -s '$out/Kestovar.ocx' '$work/team-signed/Kestovar.ocx'"
# Signed, then changed: the signature no longer verifies, and the kit is refused.
packaged broken-signature
check "broken-signature: exit status 1, got $status" test "$status" = 1
check "broken-signature: refused with the line that names it; printed: $(cat "$work/broken-signature.err")" \
    grep -qx "package: Sorvalen.ocx is signed by /CN=Corvandel Kit Signing, and its signature does not verify against the system's trusted roots and --ca $signing/kit-cert.pem (.*): the kit's component was changed after signing, or its signer is not trusted" "$work/broken-signature.err"
check "broken-signature: nothing written" test ! -e "$work/out-broken"

# ------------------------------------------------ refusals and calls not carried out
for row in "${REFUSALS[@]}"; do
    IFS='|' read -r name expected_status call expected <<<"$row"
    packaged "$name"
    check "$name: exit status $expected_status, got $status" test "$status" = "$expected_status"
    check "$name: prints \"package: $expected\"; printed: $(head -c 300 "$work/$name.err")" \
        test "$(grep -v '^package: warning:' "$work/$name.err")" = "package: $expected"
    check "$name: nothing written" test ! -e "$work/out-$name"
done
check "a full OUT_DIR is left as it was" test "$(ls "$work/full")" = keep.txt -a "$(cat "$work/full/keep.txt")" = "not ours"
check "no throwaway prefix left behind" test -z "$(ls -d "${TMPDIR:-/tmp}"/corvandel-patch.* "${TMPDIR:-/tmp}"/corvandel-package.* 2>/dev/null)"

report
