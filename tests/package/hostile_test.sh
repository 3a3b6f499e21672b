#!/usr/bin/env bash
# The release tools against what an attacker, or a careless CI job, hands
# them: empty and doubled options, values that would become paths, command
# words or tool options, a kit or a release folder that lies (links, pipes,
# forged names and lines, fields that climb out of the build tree), a mirror
# that does not answer or is not Debian's, traces that would show a secret.
# (Two runs at once and runs cut short: tests/package/interrupt_test.sh.)
# Each row asserts the exit status, the line, that OUT_DIR is as it was, and
# that nothing was written outside the build tree and the tool's own
# temporary folder, which must end empty.
#   tests/package/hostile_test.sh      (after the windows and windows-x64 presets are built)
set -uo pipefail
cd "$(dirname "$0")/../.." || exit
source tests/package/package_lib.sh
source scripts/lib/release-record.sh
source scripts/lib/debian-mirror.sh
debian_mirror_of_this_machine() { debian_mirror; }
# The tools' own temporary folders are in TMPDIR, $work/tmp (package_lib.sh): checked empty after each row.
make_kit "$work/good" "${BASE[@]}"
USAGE="usage: scripts/package KIT_DIR OUT_DIR [--pfx FILE | --pkcs11-module LIB --pkcs11-key URI [--cert CHAIN.pem]] [--sign-components] [--timestamp URL]... [--tsa-ca FILE] [--ca FILE]"
VERIFY_USAGE="usage: scripts/verify-release RELEASE_DIR [--ca FILE] [--tsa-ca FILE] [--mirror URL] [--publisher FINGERPRINT]... [--trusted-ref REF]... [--allow-unsigned]"

# ------------------------------------------------- package: options and environment
ln -s "$work/empty-target" "$work/out-link" && mkdir "$work/empty-target"
mkdir -p "$work/kit"$'\n'"with a line break" && cp "$work/good"/* "$work/kit"$'\n'"with a line break/"
# name | environment, ";" between variables ("" for none) | arguments after scripts/package, ";" between them,
#   @KIT a good kit, @OUT the row's OUT_DIR | the line after "package: "
PACKAGE_ROWS=(
    "empty_pfx||@KIT;@OUT;--pfx;|--pfx was given an empty value; $USAGE"
    "empty_token||@KIT;@OUT;--pkcs11-module;;--pkcs11-key;|--pkcs11-module was given an empty value; $USAGE"
    "empty_timestamp||@KIT;@OUT;--timestamp;|--timestamp was given an empty value; $USAGE"
    "empty_ca||@KIT;@OUT;--ca;|--ca was given an empty value; $USAGE"
    "pfx_twice|CORVANDEL_PFX_PASSWORD=|@KIT;@OUT;--pfx;a.pfx;--pfx;b.pfx|--pfx is given twice; $USAGE"
    "empty_out_dir||@KIT;|OUT_DIR is empty; $USAGE"
    "out_dir_is_a_link||@KIT;$work/out-link|OUT_DIR $work/out-link is a symbolic link (to $work/empty-target); name the folder itself"
    "out_dir_is_a_link_with_slash||@KIT;$work/out-link/|OUT_DIR $work/out-link/ is a symbolic link (to $work/empty-target); name the folder itself"
    "timestamp_with_a_blank|CORVANDEL_PFX_PASSWORD=|@KIT;@OUT;--pfx;$work/a.pfx;--timestamp;http://127.0.0.1/x -out /etc/passwd|--timestamp http://127.0.0.1/x -out /etc/passwd: not an http(s) URL"
    "timestamp_with_a_command|CORVANDEL_PFX_PASSWORD=|@KIT;@OUT;--pfx;$work/a.pfx;--timestamp;http://127.0.0.1/\$(id)|--timestamp http://127.0.0.1/\$(id): not an http(s) URL"
    "timestamp_as_an_option|CORVANDEL_PFX_PASSWORD=|@KIT;@OUT;--pfx;$work/a.pfx;--timestamp;-config|--timestamp -config: not an http(s) URL"
    "pkcs11_key_not_a_uri|CORVANDEL_PKCS11_PIN=1234|@KIT;@OUT;--pkcs11-module;$work/a.pfx;--pkcs11-key;-engine dynamic|--pkcs11-key -engine dynamic: not a pkcs11: URI (RFC 7512)"
    "kit_name_with_a_line_break||$work/kit"$'\n'"with a line break;@OUT|KIT_DIR $work/kit?with a line break: a name with a control character in it"
    "relative_tmpdir|TMPDIR=tmp|@KIT;@OUT|TMPDIR=tmp is not an absolute path of a folder this user can write in"
    "epoch_with_a_command|SOURCE_DATE_EPOCH=\$(touch /tmp/pwned)|@KIT;@OUT|SOURCE_DATE_EPOCH=\$(touch /tmp/pwned) is not a number of seconds"
    "wine_32bit_yes|CORVANDEL_WINE_32BIT=yes|@KIT;@OUT|CORVANDEL_WINE_32BIT=yes: the one value it takes is no"
    "apt_config_anyone_may_write|APT_CONFIG=$work/apt-anyone.conf|@KIT;@OUT|APT_CONFIG=$work/apt-anyone.conf is not a regular file that only its owner (root, or this user) may write"
    "osslsigncode_version_fails|PATH=$work/osslsigncode-2.1:$PATH|@KIT;@OUT|osslsigncode --version failed (exit status 1: osslsigncode 2.1, using:): packaging needs osslsigncode 2.5 or later, which names its version; install Debian's (as root: apt-get install osslsigncode, or scripts/setup)"
)
touch "$work/a.pfx" "$work/b.pfx" "$work/apt-anyone.conf" && chmod 0666 "$work/apt-anyone.conf"
# osslsigncode 2.1 names its version, then exits 1.
mkdir -p "$work/osslsigncode-2.1" && printf '#!/bin/sh\necho "osslsigncode 2.1, using:"\nexit 1\n' >"$work/osslsigncode-2.1/osslsigncode" &&
    chmod +x "$work/osslsigncode-2.1/osslsigncode"
split() { mapfile -t -d ';' "$1" < <(printf '%s;' "$2"); } # ARRAY TEXT: an empty value stays one
for row in "${PACKAGE_ROWS[@]}"; do
    IFS='|' read -r -d '' name environment call expected < <(printf '%s' "$row")
    out=$work/out-$name
    split arguments "${call//@KIT/$work/good}"
    arguments=("${arguments[@]//@OUT/$out}")
    envs=()
    [ -z "$environment" ] || split envs "$environment"
    tool "$name" "${envs[@]}" -- scripts/package "${arguments[@]}"
    refused "$name" 2 "package: $expected" "$out"
done
check "out_dir_is_a_link: the folder it points to is left as it was (empty)" test -z "$(ls -A "$work/empty-target")"
check "epoch_with_a_command: nothing ran it" test ! -e /tmp/pwned

# -------------------------------------------------------- package: a lying kit
# A name that would forge a line of its own, and one with a terminal's escape.
make_kit "$work/forged-names" "${BASE[@]}"
touch "$work/forged-names/x
package: dry run: the first run updated both components" "$work/forged-names/$(printf 'clear\033[2J')"
tool forged_names -- scripts/package "$work/forged-names" "$work/out-forged_names"
check "forged_names: refused, exit status 1, got $status" test "$status" -eq 1
check "forged_names: every line it printed is its own ($(grep -cv '^package: ' "$work/forged_names.err") are not)" \
    test "$(grep -cv '^package: ' "$work/forged_names.err")" -eq 0
check "forged_names: the names are shown with ? for what cannot be shown" \
    grep -qxF "package: x?package: dry run: the first run updated both components does not belong in a patch kit: it would ship beside CorvandelUpdate.exe, and a kit holds only Kestovar.ocx Sorvalen.ocx QuilbrexPatch.txt" "$work/forged_names.err"
check "forged_names: no escape reached the output" bash -c "! grep -q $'\\033' '$work/forged_names.err'"
untouched forged_names
# A pipe, which would never end when read, and a file too large for any kit.
make_kit "$work/pipe-kit" "${BASE[@]}" QuilbrexPatch.txt=-
mkfifo "$work/pipe-kit/QuilbrexPatch.txt"
make_kit "$work/huge-kit" "${BASE[@]}"
truncate -s 65M "$work/huge-kit/Sorvalen.ocx"
# OriginalFilename holding a line break: the version helper's answer must stay one line a file.
make_kit "$work/forged-version" "${BASE[@]}"
python3 - "$work/forged-version/Kestovar.ocx" <<'PYTHON'
import sys
path = sys.argv[1]
data = bytearray(open(path, "rb").read())
at = data.index("Kestovar.ocx".encode("utf-16-le"))
data[at:at + 2] = "\n".encode("utf-16-le")  # "\nestovar.ocx"
open(path, "wb").write(data)
PYTHON
# name | kit | exit status | the line (after "package: ") that must be among its lines
KIT_ROWS=(
    "kit_entry_is_a_pipe|pipe-kit|1|QuilbrexPatch.txt is not a regular file"
    "kit_entry_too_large|huge-kit|1|Sorvalen.ocx is 68157440 bytes, more than a kit's file may be (67108864)"
    "original_name_with_a_line_break|forged-version|0|warning: Kestovar.ocx calls itself ?estovar.ocx in its version resource (OriginalFilename): check that it is the right file"
)
for row in "${KIT_ROWS[@]}"; do
    IFS='|' read -r name kit expected_status expected <<<"$row"
    tool "$name" -- scripts/package "$work/$kit" "$work/out-$name"
    check "$name: exit status $expected_status, got $status ($(tail -n1 "$work/$name.err"))" test "$status" -eq "$expected_status"
    check "$name: says \"package: $expected\"" has_line "$work/$name.err" "package: $expected"
    check "$name: every line it printed is its own" test "$(grep -cv '^package: ' "$work/$name.err")" -eq 0
    [ "$expected_status" -eq 0 ] || check "$name: OUT_DIR left as it was (absent)" test ! -e "$work/out-$name"
    untouched "$name"
done
check "original_name_with_a_line_break: both versions were read as the patch reads them" \
    grep -q "^package: kit: Kestovar.ocx 2\.5\.1\.1519 .*, Sorvalen.ocx 2\.5\.1\.1519 " "$work/original_name_with_a_line_break.out"

# ------------------------------------------------- package: keys that cannot sign
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$work/key.pem" -out "$work/cert.pem" -days 2 \
    -subj "/CN=Corvandel Hostile Test" -addext extendedKeyUsage=codeSigning 2>/dev/null
CORVANDEL_PFX_PASSWORD="hostile-$(openssl rand -hex 12)"
export CORVANDEL_PFX_PASSWORD
openssl pkcs12 -export -legacy -inkey "$work/key.pem" -in "$work/cert.pem" -out "$work/legacy.pfx" -passout env:CORVANDEL_PFX_PASSWORD
openssl pkcs12 -export -nokeys -in "$work/cert.pem" -out "$work/no-key.pfx" -passout env:CORVANDEL_PFX_PASSWORD
openssl pkcs12 -export -inkey "$work/key.pem" -in "$work/cert.pem" -out "$work/good.pfx" -passout env:CORVANDEL_PFX_PASSWORD
tool legacy_pfx -- scripts/package "$work/good" "$work/out-legacy_pfx" --pfx "$work/legacy.pfx"
refused legacy_pfx 2 "package: $work/legacy.pfx: its key is encrypted with a legacy cipher (RC2 or 3DES, as older Windows exports it), which this system's OpenSSL does not read; convert it once with openssl pkcs12 -legacy -in $work/legacy.pfx -nodes -passin env:CORVANDEL_PFX_PASSWORD | openssl pkcs12 -export -out NEW.pfx -passout env:CORVANDEL_PFX_PASSWORD, then give --pfx NEW.pfx" "$work/out-legacy_pfx"
tool pfx_without_key -- scripts/package "$work/good" "$work/out-pfx_without_key" --pfx "$work/no-key.pfx"
refused pfx_without_key 2 "package: $work/no-key.pfx: holds no private key that this system's OpenSSL can use (a PFX exported without its key?)" "$work/out-pfx_without_key"
for name in legacy_pfx pfx_without_key; do
    check "$name: refused before the exe was built" bash -c "! grep -q 'building CorvandelUpdate.exe' '$work/$name.out'"
done

# ------------------------------------------------ package: a tree that is not its commit
# In a clone of this checkout, with this tree's scripts: what the working tree
# holds beside the commit, or a git that cannot read it, refuses a signed release.
clone=$work/clone
git clone -q --shared "$PWD" "$clone" && cp -r scripts "$clone/" && mkdir -p "$PWD/build/release-root" "$clone/build" &&
    ln -s "$PWD/build/release-root" "$clone/build/release-root"
# Its published branch, this HEAD: a checkout with no branch (a CI checkout, detached) gives its clone none.
git -C "$clone" update-ref refs/remotes/origin/published HEAD
SHORT_HEAD=$(git rev-parse --short=12 HEAD)
SIGNED_FROM_A_COMMIT="a signed release must be built from a commit, so that anyone can rebuild it; commit, stash or remove the changes"
# name | the change in the clone | the line after "package: "
TREE_ROWS=(
    "untracked_header|echo '#define CORVANDEL_PLANTED 1' >update/planted.h|the exe's sources in the working tree differ from commit $SHORT_HEAD (update/planted.h: not in the commit (an untracked or ignored file)): $SIGNED_FROM_A_COMMIT"
    "skip_worktree_edit|git update-index --skip-worktree update/plan.h && echo '// planted' >>update/plan.h|the exe's sources in the working tree differ from commit $SHORT_HEAD (update/plan.h: differs from the commit): $SIGNED_FROM_A_COMMIT"
    "corrupt_index|printf 'DIRC-garbage' >.git/index|the checkout: git says: fatal: .git/index: index file smaller than expected"
    "owned_by_another_user|chown -R 4321 .|the checkout: $clone is owned by another user (uid 4321), and git refuses to work in it; if you trust it: git config --global --add safe.directory $clone"
)
for row in "${TREE_ROWS[@]}"; do
    IFS='|' read -r name change expected <<<"$row"
    (cd "$clone" && eval "$change")
    tool "$name" -- "$clone/scripts/package" "$work/good" "$work/out-$name" --pfx "$work/good.pfx"
    refused "$name" 2 "package: $expected" "$work/out-$name"
    if [ "$name" = owned_by_another_user ]; then # verify-release names it alike, before it reads a release
        tool "verify_$name" -- "$clone/scripts/verify-release" "$work/good"
        check "verify_$name: exit status 2, \"verify-release: cannot verify: $expected\"; got $status, $(tail -n1 "$work/verify_$name.out")" \
            test "$status $(tail -n1 "$work/verify_$name.out")" = "2 verify-release: cannot verify: $expected"
        untouched "verify_$name"
    fi
    chown -R 0:0 "$clone" && (cd "$clone" && rm -f .git/index update/planted.h && git reset -q && git checkout -q -- update/plan.h)
done

# ------------------------------------------------------ package: secrets in a trace
# The password under bash -x and SHELLOPTS=xtrace: in no output, and in no file of
# the staging folder at the moment osslsigncode signs (a shim looks then).
mkdir -p "$work/spy"
cat >"$work/spy/osslsigncode" <<SPY
#!/bin/sh
if [ "\$1" = sign ]; then
    if grep -rqF -- "$CORVANDEL_PFX_PASSWORD" "$TMPDIR" 2>/dev/null; then echo found; else echo clean; fi >>"$work/spy/seen"
    ! grep -qaF -- "$CORVANDEL_PFX_PASSWORD" /proc/\$PPID/environ || echo "package's work (\$PPID)" >>"$work/spy/leaked"
fi
exec $(command -v osslsigncode) "\$@"
SPY
chmod +x "$work/spy/osslsigncode"
# Tools that must never get the password in their environment.
for name in cmake apt-get unshare mmdebstrap; do
    printf '#!/bin/sh\n! env | grep -q "^CORVANDEL_PFX_PASSWORD=" || echo %s >>"%s"\nexec %s "$@"\n' \
        "$name" "$work/spy/leaked" "$(command -v "$name")" >"$work/spy/$name"
    chmod +x "$work/spy/$name"
done
tool xtrace_bash_x PATH="$work/spy:$PATH" -- bash -x scripts/package "$work/good" "$work/out-xtrace_bash_x" --pfx "$work/good.pfx"
tool xtrace_shellopts PATH="$work/spy:$PATH" SHELLOPTS=xtrace -- scripts/package "$work/good" "$work/out-xtrace_shellopts" --pfx "$work/good.pfx"
for name in xtrace_bash_x xtrace_shellopts; do
    check "$name: packaged, exit status 0, got $status ($(tail -n1 "$work/$name.err"))" test -s "$work/out-$name/CorvandelUpdate.exe.pem"
    check "$name: the trace ran ($(grep -c '^+' "$work/$name.err") traced lines)" test "$(grep -c '^+' "$work/$name.err")" -gt 100
    # shellcheck disable=SC2016 # the password stays in the environment, never in an argument
    check "$name: the password is in no output" bash -c '! grep -qF -- "$CORVANDEL_PFX_PASSWORD" "$1" "$2"' _ "$work/$name.out" "$work/$name.err"
    untouched "$name"
done
check "xtrace: the spy looked at each signing, and found the password in no file ($(xargs <"$work/spy/seen"))" \
    bash -c "test -s '$work/spy/seen' && ! grep -q found '$work/spy/seen'"
check "xtrace: no tool but the signing ones, nor package's work, had the password in its environment ($(xargs 2>/dev/null <"$work/spy/leaked"))" \
    test ! -e "$work/spy/leaked"

# --------------------------------------------------- verify-release: a lying release
# An unsigned release, as anyone can make one, changed and re-summed: nothing
# vouches for it, so each field must be judged for what it may be before a
# path, an apt source or an argument is made of it.
shared_release base "$work/release"
check "base: the release to change was packaged, got $status ($(tail -n1 "$work/base.err"))" test "$status" -eq 0
line_of() { grep -n "$1" "$work/release/BUILDINFO" | head -n1 | cut -d: -f1; } # PATTERN
ZEROS=$(printf '0%.0s' {1..64})
# A copy of the release changed by EDIT (run in it), SHA256SUMS made to fit unless NAME ends in _raw.
lying() { # NAME EDIT
    local dir=$work/lying/$1
    mkdir -p "$work/lying" && cp -a "$work/release" "$dir"
    (cd "$dir" && eval "$2")
    [[ $1 == *_raw ]] || (cd "$dir" && sha256sum CorvandelUpdate.exe Kestovar.ocx Sorvalen.ocx QuilbrexPatch.txt BUILDINFO >SHA256SUMS)
}
# name | the edit | the verdict after "verify-release: "
VERIFY_ROWS=(
    "suite_climbs_out|sed -i 's#^Build-Suite: .*#Build-Suite: x/../../..#' BUILDINFO|cannot verify: BUILDINFO line $(line_of '^Build-Suite'): Build-Suite \"x/../../..\" is not a Debian suite's name"
    "suite_aims_at_apt|sed -i 's#^Build-Suite: .*#Build-Suite: ../../../../../../etc/apt#' BUILDINFO|cannot verify: BUILDINFO line $(line_of '^Build-Suite'): Build-Suite \"../../../../../../etc/apt\" is not a Debian suite's name"
    "package_not_of_the_toolchain|sed -i 's#^ make (= \\(.*\\))\$# make (= \\1),\\n bash (= 5.2.15-2+b2)#' BUILDINFO|cannot verify: BUILDINFO line $(($(line_of '^ make ') + 1)): bash is not one of the packages that shape the exe (${BUILD_PACKAGES[*]})"
    "version_with_an_option|sed -i 's#^ cmake (= [^)]*)# cmake (= 3.25.1-1 --aptopt=x)#' BUILDINFO|cannot verify: BUILDINFO line $(line_of '^ cmake '): \" cmake (= 3.25.1-1 --aptopt=x),\" is not \" PACKAGE (= VERSION),\""
    "version_not_debian|sed -i 's#^ cmake (= [^)]*)# cmake (= ../x)#' BUILDINFO|cannot verify: BUILDINFO line $(line_of '^ cmake '): cmake's version \"../x\" is not a Debian version"
    "field_twice|echo 'Build-Suite: trixie' >>BUILDINFO|cannot verify: BUILDINFO line $(($(wc -l <"$work/release/BUILDINFO") + 1)): Build-Suite is given twice (first on line $(line_of '^Build-Suite'))"
    "field_unknown|echo 'Build-Hook: sh -c id' >>BUILDINFO|cannot verify: BUILDINFO line $(($(wc -l <"$work/release/BUILDINFO") + 1)): Build-Hook is not a field of a BUILDINFO"
    "carriage_returns|sed -i 's/\$/\\r/' BUILDINFO|cannot verify: BUILDINFO line 1: holds a character that is not printable ASCII (a control character, or CR)"
    "sums_name_a_device_raw|echo '$ZEROS  /dev/zero' >>SHA256SUMS|cannot verify: SHA256SUMS line 6: \"$ZEROS  /dev/zero\" is not \"SHA-256  NAME\" for a file of the release"
    "sums_climb_out_raw|echo '$ZEROS  ../../etc/shadow' >>SHA256SUMS|cannot verify: SHA256SUMS line 6: \"$ZEROS  ../../etc/shadow\" is not \"SHA-256  NAME\" for a file of the release"
    "sums_name_another_file_raw|echo '$ZEROS  evil.dll' >>SHA256SUMS|cannot verify: SHA256SUMS line 6: evil.dll is not a file of the release"
    "component_is_a_link_raw|ln -sf /etc/shadow Kestovar.ocx|cannot verify: $work/lying/component_is_a_link_raw/Kestovar.ocx is not a regular file (a symbolic link, a folder, a device or a pipe): a release holds only files"
    "component_too_large_raw|truncate -s 65M Sorvalen.ocx|cannot verify: $work/lying/component_too_large_raw/Sorvalen.ocx is larger than any file of a release (67108864 bytes)"
    "buildinfo_is_a_pipe_raw|rm BUILDINFO && mkfifo BUILDINFO|cannot verify: $work/lying/buildinfo_is_a_pipe_raw/BUILDINFO is not a regular file (a symbolic link, a folder, a device or a pipe): a release holds only files"
)
for row in "${VERIFY_ROWS[@]}"; do
    IFS='|' read -r name edit expected <<<"$row"
    lying "$name" "$edit"
    tool "$name" -- scripts/verify-release "$work/lying/$name"
    check "$name: exit status 2, got $status" test "$status" -eq 2
    check "$name: the verdict is \"verify-release: $expected\"; it was: $(tail -n1 "$work/$name.out")" \
        test "$(tail -n1 "$work/$name.out")" = "verify-release: $expected"
    check "$name: stopped before the toolchain stage" bash -c "! grep -q '4/7 toolchain' '$work/$name.out'"
    untouched "$name"
done
# name | options after the release | the verdict after "verify-release: "
OPTION_ROWS=(
    "empty_mirror|--mirror;|cannot verify: --mirror was given an empty value; $VERIFY_USAGE"
    "mirror_with_a_blank|--mirror;http://deb.debian.org/debian bookworm main|cannot verify: --mirror http://deb.debian.org/debian bookworm main: not an http(s) URL"
    "empty_ca|--ca;|cannot verify: --ca was given an empty value; $VERIFY_USAGE"
    "ca_twice|--ca;$work/cert.pem;--ca;$work/cert.pem|cannot verify: --ca is given twice; $VERIFY_USAGE"
    "trusted_ref_a_hash|--trusted-ref;$(git rev-parse HEAD)|cannot verify: --trusted-ref $(git rev-parse HEAD): not a ref of this repository (a branch, a tag, HEAD, or a full name under refs/; never a commit's hash)"
    "trusted_ref_an_option|--trusted-ref;--upload-pack=touch /tmp/pwned|cannot verify: --trusted-ref --upload-pack=touch /tmp/pwned: not a ref of this repository (a branch, a tag, HEAD, or a full name under refs/; never a commit's hash)"
)
for row in "${OPTION_ROWS[@]}"; do
    IFS='|' read -r -d '' name call expected < <(printf '%s' "$row")
    split arguments "$call"
    tool "$name" -- scripts/verify-release "$work/release" "${arguments[@]}"
    check "$name: exit status 2, got $status" test "$status" -eq 2
    check "$name: the verdict is \"verify-release: $expected\"; it was: $(tail -n1 "$work/$name.out")" \
        test "$(tail -n1 "$work/$name.out")" = "verify-release: $expected"
    untouched "$name"
done

# ------------------------------------------------------------- the mirror
# A mirror that does not answer: the reason is apt's own, never an empty one.
tool mirror_unreadable -- scripts/verify-release "$work/release" --mirror http://127.0.0.1:1/debian/ --trusted-ref HEAD
check "mirror_unreadable: exit status 2, got $status" test "$status" -eq 2
check "mirror_unreadable: names the mirror and apt's error; said: $(tail -n1 "$work/mirror_unreadable.out")" \
    grep -qx "verify-release: cannot verify: could not read the mirror: apt-get update of bookworm bookworm-updates from http://127.0.0.1:1/debian/ failed (E: Failed to fetch http://127.0.0.1:1/debian/.*[a-z].*)" "$work/mirror_unreadable.out"
untouched mirror_unreadable
# apt's view of this machine as another machine may have it (APT_CONFIG): a
# third-party repository listed before Debian's that calls itself Debian in an
# unsigned Release, and for packaging, Debian's mirror unreachable. The tools
# must take the source whose InRelease Debian's key signs, and say apt's error.
apt_world() { # DIR SOURCE-LINE... (each "URI SUITE ORIGIN"): a sources list, and Release files as apt keeps them
    # (ORIGIN "signed": Debian's InRelease of SUITE from this machine's mirror, signed by Debian, as
    # this machine's apt keeps it, or where its release is another, as the release root's apt does;
    # "forged": that InRelease with a line changed under Debian's signature)
    local dir=$1 uri suite origin list signed lists
    signed=$(sed 's|^[a-z]*://||; s|/$||; s|/|_|g' <<<"$(debian_mirror_of_this_machine)")_dists
    shift
    mkdir -p "$dir/lists/partial"
    : >"$dir/sources.list"
    for source in "$@"; do
        read -r uri suite origin <<<"$source"
        echo "deb [trusted=yes] $uri $suite main" >>"$dir/sources.list"
        list=$(sed 's|^[a-z]*://||; s|/$||; s|/|_|g' <<<"$uri")_dists_${suite}
        for lists in /var/lib/apt/lists "$PWD/build/release-root/apt-$suite/lists" ''; do
            [ -z "$lists" ] || [ ! -s "$lists/${signed}_${suite}_InRelease" ] || break
        done
        [ -n "$lists" ] || [ "${origin/forged/signed}" != signed ] ||
            echo "FAIL: apt_world: no InRelease of $suite from Debian's mirror, neither this machine's nor the release root's"
        if [ "$origin" = signed ]; then
            cp "$lists/${signed}_${suite}_InRelease" "$dir/lists/${list}_InRelease"
        elif [ "$origin" = forged ]; then
            sed 's/^Version: /Version: 9/' "$lists/${signed}_${suite}_InRelease" >"$dir/lists/${list}_InRelease"
        else
            printf 'Origin: %s\nLabel: %s\nSuite: %s\nCodename: %s\nComponents: main\nArchitectures: %s\n' \
                "$origin" "$origin" "$suite" "$suite" "$(dpkg --print-architecture)" >"$dir/lists/${list}_Release"
        fi
        : >"$dir/lists/${list}_main_binary-$(dpkg --print-architecture)_Packages"
    done
    printf 'Dir::Etc::sourcelist "%s/sources.list";\nDir::Etc::sourceparts "-";\nDir::State::Lists "%s/lists";\n' \
        "$dir" "$dir" >"$dir/apt.conf"
    chmod -R go-w "$dir"
}
apt_world "$work/apt-third-party" "http://aaa.vendor.example/repo bookworm Debian" "http://bbb.vendor.example/repo bookworm forged" \
    "$(debian_mirror_of_this_machine) bookworm signed"
tool third_party_first APT_CONFIG="$work/apt-third-party/apt.conf" -- scripts/verify-release "$work/release" --trusted-ref HEAD
check "third_party_first: verified, exit status 0, got $status ($(tail -n1 "$work/third_party_first.out"))" test "$status" -eq 0
check "third_party_first: Debian's mirror was taken, not the vendors' listed before it that call themselves Debian (one under a broken signature)" \
    grep -qx "verify-release: 4/7 toolchain: bookworm, the recorded versions, from $(debian_mirror_of_this_machine)" "$work/third_party_first.out"
untouched third_party_first
apt_world "$work/apt-unreachable" "http://aaa.vendor.example/repo stable Vendor" "http://127.0.0.1:1/debian/ bookworm signed"
tool pin_check_unreadable APT_CONFIG="$work/apt-unreachable/apt.conf" -- scripts/package "$work/good" "$work/out-pin_check_unreadable"
check "pin_check_unreadable: exit status 2, got $status" test "$status" -eq 2
check "pin_check_unreadable: names the mirror and apt's error; said: $(tail -n1 "$work/pin_check_unreadable.err")" \
    grep -qx "package: cannot check the pinned toolchain: apt-get update of bookworm bookworm-updates from http://127.0.0.1:1/debian/ failed (E: Failed to fetch http://127.0.0.1:1/debian/.*[a-z].*)" "$work/pin_check_unreadable.err"
check "pin_check_unreadable: OUT_DIR left as it was (absent)" test ! -e "$work/out-pin_check_unreadable"
untouched pin_check_unreadable

# ------------------------------------------------------ verify-release: a commit's build
# An unsigned release naming a commit on a side branch of the clone, whose
# CMake writes into /usr, /etc and /tmp: not built unless a trusted ref
# reaches it; when one does, built in the sandbox, which it cannot write out of.
PROBE=corvandel-sandbox-probe
cat >>"$clone/CMakeLists.txt" <<CMAKE
execute_process(COMMAND sh -c "echo probe >/usr/bin/$PROBE; echo probe >/etc/$PROBE; echo probe >/tmp/$PROBE; id -u")
execute_process(COMMAND getent hosts deb.debian.org RESULT_VARIABLE lookup OUTPUT_QUIET ERROR_QUIET)
message(STATUS "sandbox probe ran; name lookup: \${lookup}")
# $(date +%s%N): sources no verification has built yet, so that the probe runs on every run
CMAKE
git -C "$clone" checkout -q -b side && git -C "$clone" -c user.name=test -c user.email=test@example.invalid commit -qam "A build that writes outside its tree"
SIDE=$(git -C "$clone" rev-parse HEAD)
git -C "$clone" tag v9.9.9 # as a fork's tag lands in refs/tags once the fork is fetched: it vouches for nothing
lying commit_on_a_side_branch "sed -i 's/^Commit: .*/Commit: $SIDE/' BUILDINFO"
roots_changed() { local root; for root in "$PWD"/build/release-root/*/usr/bin; do find "${root%/usr/bin}" -newer "$marker" -print -quit; done; }
# name | options | exit status | the verdict after "verify-release: "
SIDE_ROWS=(
    "side_branch_untrusted||1|not verified: rebuild: commit ${SIDE:0:12}, which BUILDINFO names, is not one this repository vouches for: none of the refs this repository trusts reaches it (it trusts refs/remotes/origin); bring the published branches up to date (git fetch origin), or name a ref you trust (a release tag, say) with --trusted-ref REF"
    "side_branch_trusted|--trusted-ref side|0|verified: CorvandelUpdate.exe is commit ${SIDE:0:12} rebuilt byte for byte; it is unsigned"
)
for row in "${SIDE_ROWS[@]}"; do
    IFS='|' read -r name options expected_status expected <<<"$row"
    read -ra arguments <<<"$options"
    rm -f "/tmp/$PROBE"
    tool "$name" -- "$clone/scripts/verify-release" "$work/lying/commit_on_a_side_branch" "${arguments[@]}"
    check "$name: exit status $expected_status, got $status" test "$status" -eq "$expected_status"
    check "$name: the verdict is \"verify-release: $expected\"; it was: $(tail -n1 "$work/$name.out")" \
        test "$(tail -n1 "$work/$name.out")" = "verify-release: $expected"
    check "$name: nothing of the build is left in /usr, /etc or /tmp" test ! -e "/usr/bin/$PROBE" -a ! -e "/etc/$PROBE" -a ! -e "/tmp/$PROBE"
    check "$name: the cached roots are as they were; changed: $(roots_changed)" test -z "$(roots_changed)"
    check "$name: no sandbox is left in the build tree" test -z "$(find "$PWD/build/release-root" -maxdepth 1 -name 'sandbox.*')"
    untouched "$name"
done
check "side_branch_untrusted: nothing was made or built for it" bash -c "! grep -q '4/7 toolchain' '$work/side_branch_untrusted.out'"
log=$(find "$PWD/build/release-root" -maxdepth 1 -name '*.build.log' -newer "$work/side_branch_untrusted.out" -print -quit)
check "side_branch_trusted: the probe ran in the build, not as root (id $(grep -xE '[0-9]+' "$log" | xargs)), with no name lookup ($(grep -o 'name lookup: .*' "$log"))" \
    bash -c "grep -q 'sandbox probe ran; name lookup: [1-9]' '$log' && grep -xE '[0-9]+' '$log' | grep -qvx 0"

report
