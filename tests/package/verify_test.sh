#!/usr/bin/env bash
# scripts/verify-release on releases made here by scripts/package: signed with
# a key on a throwaway token (its components signed too) and timestamped by a
# loopback server, signed with a throwaway PFX, and unsigned; then on copies
# tampered with. Most are re-sealed as far as the publisher's own key allows
# (BUILDINFO's hashes and SHA256SUMS made to fit, SHA256SUMS signed again with
# the token's key), so that the stage meant to catch each is the one that
# must; an attacker without that key re-seals all but SHA256SUMS.p7s.
#   tests/package/verify_test.sh      (after the windows preset is built)
set -uo pipefail
cd "$(dirname "$0")/../.." || exit
source tests/package/package_lib.sh
trap 'stop_tsa; rm -rf "$work"' EXIT
make_kit "$work/good" "${BASE[@]}"
make_token
start_tsa
export SOURCE_DATE_EPOCH=1765000000
HEAD=$(git rev-parse HEAD)
# The exe of a tree as a release has it: built in the release root.
source scripts/lib/release-record.sh
source scripts/lib/debian-mirror.sh
source scripts/lib/release-root.sh
MIRROR=$(debian_mirror)
root_exe() { # TREE OUT
    # Under the release root's lock, as the tools take it: the steps beside this one build there too.
    root_lock verify_test && root_prepare "$RELEASE_PIN" "$MIRROR" && (cd "$1" && root_build "$2")
    local status=$?
    root_unlock
    return $status
}

package token "$work/good" "$work/token" "${TOKEN[@]}" --sign-components --timestamp "$LIVE" --tsa-ca "$work/tsa/root.pem"
check "the token-signed, timestamped release was made, got $status ($(tail -n1 "$work/token.err"))" test $status -eq 0
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$work/pfx.key" -out "$work/pfx.pem" -days 2 \
    -subj "/CN=Corvandel Other Signing" -addext extendedKeyUsage=codeSigning 2>/dev/null
openssl pkcs12 -export -inkey "$work/pfx.key" -in "$work/pfx.pem" -out "$work/other.pfx" -passout pass:
CORVANDEL_PFX_PASSWORD='' package pfx "$work/good" "$work/pfx" --pfx "$work/other.pfx"
check "the PFX-signed release was made, got $status ($(tail -n1 "$work/pfx.err"))" test $status -eq 0
shared_release unsigned "$work/unsigned"
# The whole kit packaged and signed end to end with another key, whose root the verifier trusts.
CORVANDEL_PFX_PASSWORD='' package resigned "$work/good" "$work/resigned" --pfx "$work/other.pfx" --sign-components
check "the release signed end to end by another key was made, got $status ($(tail -n1 "$work/resigned.err"))" test $status -eq 0
check "the unsigned release was made, got $status ($(tail -n1 "$work/unsigned.err"))" test $status -eq 0

# Another commit, whose exe differs by one message text: in a clone of this
# repository's HEAD, with this tree's release scripts, never in this tree.
other=$work/other-repo
git clone -q --shared "$PWD" "$other"
# Its published branch, this HEAD: a checkout with no branch (a CI checkout, detached) gives its clone none.
git -C "$other" update-ref refs/remotes/origin/published HEAD
sed -i 's/Unable to copy new files\./Unable to copy the new files./' "$other/messages/catalogue.inc"
git -C "$other" -c user.name=test -c user.email=test@example.invalid commit -q -am "A message text changed"
OTHER=$(git -C "$other" rev-parse HEAD)
mkdir -p "$other/scripts/lib"
cp scripts/verify-release "$other/scripts/" && cp scripts/lib/* "$other/scripts/lib/"
# The clone shares this tree's release roots, as a second checkout on one machine may.
mkdir -p "$other/build" "$PWD/build/release-root" && ln -s "$PWD/build/release-root" "$other/build/release-root"
head_exe=$work/head.exe other_exe=$work/other.exe
root_exe . "$head_exe"
root_exe "$other" "$other_exe"
check "another commit's exe was built, and differs" bash -c "test -s '$other_exe' && ! cmp -s '$other_exe' '$head_exe'"
osslsigncode sign -pkcs12 "$work/other.pfx" -h sha256 -in "$other_exe" -out "$work/other-signed.exe" >/dev/null &&
    osslsigncode extract-signature -pem -in "$work/other-signed.exe" -out "$work/other-commit.pem" >/dev/null

# ------------------------------------------------------------- tampering
digest() { sha256sum <"$1" | cut -d' ' -f1; }
offset_of() { cmp "$1" "$2" | awk '{ sub(",", "", $5); print $5 - 1 }'; } # the first differing byte, from 0
fingerprint() { openssl x509 -in "$1" -noout -fingerprint -sha256 | sed 's/^.*=//'; }
# SHA256SUMS signed again with the publisher's key, on the token.
resign_sums() { # DIR
    PKCS11_MODULE_PATH=$MODULE openssl cms -sign -binary -noattr -md sha256 -in "$1/SHA256SUMS" \
        -signer "$work/release.pem" -engine pkcs11 -keyform engine -inkey "$KEY" -passin env:CORVANDEL_PKCS11_PIN \
        -outform DER -out "$1/SHA256SUMS.p7s" 2>/dev/null
}
# Copies release FROM to NAME, lets EDIT change it, then re-seals it: with the
# publisher's key, unless NAME ends in _unsigned_sums.
tampered() { # NAME FROM EDIT
    local dir=$work/releases/$1
    mkdir -p "$work/releases" && cp -a "$work/$2" "$dir"
    (cd "$dir" && eval "$3")
    sed -i "s/^Released-Exe-Sha256: .*/Released-Exe-Sha256: $(digest "$dir/CorvandelUpdate.exe")/" "$dir/BUILDINFO"
    [ ! -f "$dir/CorvandelUpdate.exe.pem" ] ||
        sed -i "s/^Signature-Sha256: .*/Signature-Sha256: $(digest "$dir/CorvandelUpdate.exe.pem")/" "$dir/BUILDINFO"
    (cd "$dir" && mapfile -t listed < <(cut -d' ' -f3 SHA256SUMS) && sha256sum "${listed[@]}" >SHA256SUMS.new && mv SHA256SUMS.new SHA256SUMS &&
        zip -q -X CorvandelPatch.zip CorvandelUpdate.exe Kestovar.ocx Sorvalen.ocx)
    [[ $1 == *_unsigned_sums ]] || [ ! -f "$dir/SHA256SUMS.p7s" ] || resign_sums "$dir"
}
# shellcheck disable=SC2016 # expanded by the shell or tool it is given to, not here
FLIP='printf "\\x$(printf %02x $(( $(od -An -tu1 -j1040 -N1 CorvandelUpdate.exe) ^ 1 )))" | dd of=CorvandelUpdate.exe bs=1 seek=1040 conv=notrunc status=none'
tampered byte_changed token "$FLIP"
tampered another_key token "cp '$work/pfx/CorvandelUpdate.exe.pem' ."
tampered another_commits_signature token "cp '$work/other-commit.pem' CorvandelUpdate.exe.pem"
tampered commit_differs unsigned "sed -i 's/^Commit: .*/Commit: $OTHER/' BUILDINFO"
tampered commit_missing token "sed -i 's/^Commit: .*/Commit: 0123456789abcdef0123456789abcdef01234567/' BUILDINFO"
tampered toolchain_gone token "sed -i 's/^ cmake (= .*),/ cmake (= 3.0.0-1),/' BUILDINFO"
tampered no_suite token "sed -i '/^Build-Suite: /d' BUILDINFO"
# Both components carry the updated version, so the patch takes either: swapped, as
# someone who controls the download folder would, with all re-sealed but SHA256SUMS.p7s.
tampered components_swapped_unsigned_sums token "mv Kestovar.ocx k && mv Sorvalen.ocx Kestovar.ocx && mv k Sorvalen.ocx"
# The same with SHA256SUMS signed again: each component must still be the one whose signer BUILDINFO records.
tampered component_of_another_signer token "cp '$work/resigned/Kestovar.ocx' Kestovar.ocx"
tampered no_commit token "sed -i '/^Commit: /d' BUILDINFO"
# A component signed first by an impostor calling itself the publisher, the
# publisher's own signature nested under it: Windows judges the first alone.
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$work/impostor.key" -out "$work/impostor.pem" -days 2 \
    -subj "/CN=Corvandel Release Signing" -addext extendedKeyUsage=codeSigning 2>/dev/null
impostor=$work/impostor-Kestovar.ocx
osslsigncode extract-signature -pem -in "$work/token/Kestovar.ocx" -out "$impostor.pem" >/dev/null &&
    osslsigncode remove-signature -in "$work/token/Kestovar.ocx" -out "$impostor.bare" >/dev/null &&
    osslsigncode sign -certs "$work/impostor.pem" -key "$work/impostor.key" -h sha256 -in "$impostor.bare" -out "$impostor.first" >/dev/null
osslsigncode attach-signature -nest -sigin "$impostor.pem" -in "$impostor.first" -out "$impostor" >/dev/null 2>&1 # judged below
tampered nested_under_an_impostor token "cp '$impostor' Kestovar.ocx"
# A signed release downgraded: its signatures removed, the unsigned exe put in, all re-summed.
tampered stripped_of_its_signatures token "rm SHA256SUMS.p7s CorvandelUpdate.exe.pem && cp '$work/unsigned/CorvandelUpdate.exe' . &&
    sed -i '/^Signature-Sha256: /d' BUILDINFO && sed -i '/  CorvandelUpdate.exe.pem\$/d' SHA256SUMS"
mkdir -p "$work/releases" && cp -a "$work/token" "$work/releases/sums_changed"
sed -i "s/^[0-9a-f]*  Kestovar.ocx/$(printf '0%.0s' {1..64})  Kestovar.ocx/" "$work/releases/sums_changed/SHA256SUMS"
resign_sums "$work/releases/sums_changed"
cat "$work/release.pem" "$work/pfx.pem" >"$work/both-roots.pem"

# What attaching a signature onto this commit's exe gives, for the offsets the verdicts name.
attached() { osslsigncode attach-signature -sigin "$1" -in "$head_exe" -out "$2" >/dev/null 2>&1; }
attached "$work/pfx/CorvandelUpdate.exe.pem" "$work/attached-another-key.exe"
attached "$work/other-commit.pem" "$work/attached-another-commit.exe"

# ---------------------------------------------------------------- verdicts
SHORT=${HEAD:0:12}
SIGNER="/CN=Corvandel Release Signing"
PINNED_CMAKE=$(buildinfo_toolchain "$RELEASE_PIN" | awk '$1 == "cmake" { print $2 }')
SNAPSHOT=https://snapshot.debian.org/archive/debian/$(date -u -d @$SOURCE_DATE_EPOCH +%Y%m%dT%H%M%SZ)/
PUBLISHER="--publisher $(fingerprint "$work/release.pem")"
ROOTS="--ca $work/release.pem --tsa-ca $work/tsa/root.pem $PUBLISHER"
OTHER_FP=$(fingerprint "$work/pfx.pem")
TRUSTS="refs/remotes/origin"
TRUST_HINT="bring the published branches up to date (git fetch origin), or name a ref you trust (a release tag, say) with --trusted-ref REF"
# name | exit status | where to run from: here, elsewhere (another folder) or other (the clone with another commit)
#   | the release and options | the verdict line (after "verify-release: ")
CASES=(
    "genuine|0|here|$work/token $ROOTS|verified: CorvandelUpdate.exe is commit $SHORT rebuilt byte for byte with its published signature; signed by $SIGNER; timestamped @TIME@"
    "genuine_from_elsewhere|0|elsewhere|token $ROOTS|verified: CorvandelUpdate.exe is commit $SHORT rebuilt byte for byte with its published signature; signed by $SIGNER; timestamped @TIME@"
    "genuine_pfx|0|here|$work/pfx --ca $work/pfx.pem --publisher $OTHER_FP|verified: CorvandelUpdate.exe is commit $SHORT rebuilt byte for byte with its published signature; signed by /CN=Corvandel Other Signing; not timestamped"
    "unsigned|0|here|$work/unsigned|verified: CorvandelUpdate.exe is commit $SHORT rebuilt byte for byte; it is unsigned"
    "toolchain_gone|2|here|$work/releases/toolchain_gone $ROOTS|cannot verify: $MIRROR no longer has cmake 3.0.0-1 in bookworm or bookworm-updates (it keeps only each package's current version: $PINNED_CMAKE); build the root from an archive that still has them, such as Debian's snapshot archive at the release's date: --mirror $SNAPSHOT"
    "no_suite|2|here|$work/releases/no_suite $ROOTS|cannot verify: BUILDINFO names no Build-Suite: the release was built before releases were built in a pinned root; verify it with the scripts/verify-release of its own commit ($SHORT)"
    "byte_changed|1|here|$work/releases/byte_changed $ROOTS|not verified: attach: the rebuilt exe with CorvandelUpdate.exe.pem attached is not the released exe (they differ at offset 1040)"
    "another_key|1|here|$work/releases/another_key $ROOTS|not verified: attach: the rebuilt exe with CorvandelUpdate.exe.pem attached is not the released exe (they differ at offset $(offset_of "$work/attached-another-key.exe" "$work/token/CorvandelUpdate.exe"))"
    "another_commits_signature|1|here|$work/releases/another_commits_signature $ROOTS|not verified: attach: the rebuilt exe with CorvandelUpdate.exe.pem attached is not the released exe (they differ at offset $(offset_of "$work/attached-another-commit.exe" "$work/token/CorvandelUpdate.exe"))"
    "commit_differs|1|other|$work/releases/commit_differs|not verified: rebuild: the exe built from commit ${OTHER:0:12} with the recorded toolchain is not the recorded unsigned exe (sha256 $(digest "$other_exe"); it differs from the released exe first at offset $(offset_of "$other_exe" "$head_exe"))"
    "commit_missing|1|here|$work/releases/commit_missing $ROOTS|not verified: rebuild: commit 0123456789ab, which BUILDINFO names, is not one this repository vouches for: it is not in this repository (it trusts $TRUSTS HEAD); $TRUST_HINT"
    "untrusted_side_branch|1|other|$work/releases/commit_differs|not verified: rebuild: commit ${OTHER:0:12}, which BUILDINFO names, is not one this repository vouches for: none of the refs this repository trusts reaches it (it trusts $TRUSTS); $TRUST_HINT"
    "sums_changed|1|here|$work/releases/sums_changed $ROOTS|not verified: checksums: Kestovar.ocx is not the file SHA256SUMS lists (its SHA-256 differs)"
    "components_swapped|1|here|$work/releases/components_swapped_unsigned_sums $ROOTS|not verified: publisher: SHA256SUMS.p7s does not verify over SHA256SUMS against the system's roots and --ca: SHA256SUMS was changed after it was signed, or its signer is not trusted"
    "component_of_another_signer|1|here|$work/releases/component_of_another_signer --ca $work/both-roots.pem --tsa-ca $work/tsa/root.pem $PUBLISHER|not verified: Kestovar.ocx is signed by /CN=Corvandel Other Signing ($OTHER_FP), who is not a publisher of this project: release/publishers lists the publisher's certificates (an internal build is verified with --publisher $OTHER_FP)"
    "resigned_by_another_key|1|here|$work/resigned --ca $work/pfx.pem|not verified: SHA256SUMS is signed by /CN=Corvandel Other Signing ($OTHER_FP), who is not a publisher of this project: release/publishers lists the publisher's certificates (an internal build is verified with --publisher $OTHER_FP)"
    "resigned_with_publisher_named|0|here|$work/resigned --ca $work/pfx.pem --publisher $OTHER_FP|verified: CorvandelUpdate.exe is commit $SHORT rebuilt byte for byte with its published signature; signed by /CN=Corvandel Other Signing; not timestamped"
    "nested_under_an_impostor|1|here|$work/releases/nested_under_an_impostor $ROOTS|not verified: components: Kestovar.ocx's signature does not verify against the system's roots and --ca (self-signed certificate)"
    "stripped_of_its_signatures|1|here|$work/releases/stripped_of_its_signatures $ROOTS|not verified: publisher: the release is unsigned, and --publisher names the publisher: a signed release stripped of its signatures looks just like this one; an internal, unsigned build is verified with --allow-unsigned"
    "stripped_allowed|0|here|$work/releases/stripped_of_its_signatures $ROOTS --allow-unsigned|verified: CorvandelUpdate.exe is commit $SHORT rebuilt byte for byte; it is unsigned, accepted as an internal build with --allow-unsigned"
    "no_commit|2|here|$work/releases/no_commit $ROOTS|cannot verify: BUILDINFO: no Commit of 40 hex digits (found \"\")"
)
TIME=$(sed -n 's/^package: timestamped by .*: certified time //p' "$work/token.out")
row_starts # what the verifications write, but for the caller's files
for row in "${CASES[@]}"; do
    IFS='|' read -r name expected_status where call expected <<<"$row"
    read -ra arguments <<<"$call"
    # The commit packaged here may be on no published ref yet: the rows trust HEAD, but for those that must not.
    [[ $name == untrusted* ]] || arguments+=(--trusted-ref HEAD)
    case $where in
        here) command=(scripts/verify-release) ;;
        elsewhere) command=("$PWD/scripts/verify-release") ;;
        other) command=("$other/scripts/verify-release") ;;
    esac
    (if [ "$where" = elsewhere ]; then cd "$work"; fi && timeout "$HANG_GUARD_SECONDS" "${command[@]}" "${arguments[@]}") >"$work/$name.verify" 2>&1
    status=$?
    hang_guard "$name" "$status"
    check "$name: exit status $expected_status, got $status" test $status -eq "$expected_status"
    check "$name: the verdict is \"${expected//@TIME@/$TIME}\"; it was: $(tail -n1 "$work/$name.verify")" \
        test "$(tail -n1 "$work/$name.verify")" = "verify-release: ${expected//@TIME@/$TIME}"
done
# The second verification of a commit in a root takes the first one's build, never packaging's.
check "genuine_from_elsewhere: took the verification's own earlier build; said: $(grep -m1 '^verify-release: the build: ' "$work/genuine_from_elsewhere.verify")" \
    grep -qE "^verify-release: the build: not built now, taken from an earlier verification's build of the same sources in this root \(build/release-root/[^ ]*\.builds/[0-9a-f]{32}\.verifier\.exe\); delete it to build again$" "$work/genuine_from_elsewhere.verify"
# A signed release must be built from a commit: in the clone, one of the
# exe's sources changed and not committed, signing is refused before the build.
cp scripts/package scripts/setup "$other/scripts/" && cp scripts/lib/* "$other/scripts/lib/"
echo "// not committed" >>"$other/update/plan.h"
mkdir -p "$work/out-dirty"
CORVANDEL_PFX_PASSWORD='' timeout "$HANG_GUARD_SECONDS" "$other/scripts/package" "$work/good" "$work/out-dirty" --pfx "$work/other.pfx" \
    >"$work/dirty.out" 2>"$work/dirty.err"
status=$?
check "dirty_tree_signed: exit status 2, got $status" test $status -eq 2
check "dirty_tree_signed: says why; said: $(cat "$work/dirty.err")" test "$(cat "$work/dirty.err")" = \
    "package: the exe's sources in the working tree differ from commit ${OTHER:0:12} (update/plan.h: differs from the commit): a signed release must be built from a commit, so that anyone can rebuild it; commit, stash or remove the changes"
check "dirty_tree_signed: OUT_DIR left as it was (empty)" test -z "$(ls -A "$work/out-dirty")"

# A pin that the mirror does not hold stops packaging before anything is built.
git -C "$other" checkout -q -- update/plan.h
sed -i 's/^ make (= .*)$/ make (= 4.3-4.1+made.up1)/' "$other/cmake/release-toolchain.pin"
mkdir -p "$work/out-pin"
timeout "$HANG_GUARD_SECONDS" "$other/scripts/package" "$work/good" "$work/out-pin" >"$work/pin.out" 2>"$work/pin.err"
status=$?
check "pin_not_on_mirror: exit status 2, got $status" test $status -eq 2
check "pin_not_on_mirror: names the package, both versions and the command; said: $(cat "$work/pin.err")" \
    test "$(grep -v '^package: warning:' "$work/pin.err")" = \
    "package: cmake/release-toolchain.pin pins make 4.3-4.1+made.up1, and $MIRROR has $(buildinfo_toolchain "$RELEASE_PIN" | awk '$1 == "make" { print $2 }') in bookworm: move the pin with scripts/pin-toolchain and commit it, saying whether the exe's bytes changed"
check "pin_not_on_mirror: OUT_DIR left as it was (empty)" test -z "$(ls -A "$work/out-pin")"
check "pin_not_on_mirror: stopped before building" test ! -e "$other/build/windows"
check "toolchain_gone: no root was made for the recorded toolchain" \
    test ! -e "$ROOT_CACHE/bookworm-$(root_key "$work/releases/toolchain_gone/BUILDINFO" "$MIRROR")"
check "genuine: SHA256SUMS and each component are named with their signer, the publisher" bash -c \
    "grep -qxF 'verify-release: SHA256SUMS is signed by $SIGNER (--publisher)' '$work/genuine.verify' &&
     grep -qxF 'verify-release: Kestovar.ocx: signed by $SIGNER (--publisher)' '$work/genuine.verify' &&
     grep -qxF 'verify-release: Sorvalen.ocx: signed by $SIGNER (--publisher)' '$work/genuine.verify'"
check "nested_under_an_impostor: the publisher's signature nested under the impostor's is named, and not counted" \
    grep -qxF "verify-release: Kestovar.ocx: also holds a nested signature by $SIGNER ($(fingerprint "$work/release.pem")), which does not count: Windows judges the first signature alone" "$work/nested_under_an_impostor.verify"
# Packaging reads the same signature, and refuses the kit.
make_kit "$work/impostor-kit" "${BASE[@]}" && cp "$impostor" "$work/impostor-kit/Kestovar.ocx"
package impostor_kit "$work/impostor-kit" "$work/out-impostor" --ca "$work/release.pem"
check "impostor_kit: refused, exit status 1, got $status; said: $(grep -v ': warning:' "$work/impostor_kit.err")" test "$status" -eq 1 -a \
    "$(grep -v ': warning:' "$work/impostor_kit.err")" = "package: Kestovar.ocx is signed by $SIGNER, and its signature does not verify against the system's trusted roots and --ca $work/release.pem (self-signed certificate): the kit's component was changed after signing, or its signer is not trusted"
check "unsigned: says that nothing vouches for its components" \
    grep -qxF 'verify-release: 1/7 publisher: none: the release is unsigned, and nothing vouches for its components' "$work/unsigned.verify"
# (build/ is left out: the test command's other steps write there meanwhile.)
written=$(written_since_row "$checkout" -- "$checkout/build" "$checkout/.git")
check "nothing in this work tree outside build/ was written${written:+; written: $written}" test -z "$written"
check "no temporary clone left behind" test -z "$(ls -d "${TMPDIR:-/tmp}"/corvandel-verify.* 2>/dev/null)"

report
