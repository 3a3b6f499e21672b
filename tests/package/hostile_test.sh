#!/usr/bin/env bash
# The release tools against what an attacker, or a careless CI job, hands
# them: empty and doubled options, values that would become paths, command
# words or tool options, a kit or a release folder that lies (links, pipes,
# forged names and lines, fields that climb out of the build tree), a mirror
# that does not answer or is not Debian's, traces that would show a secret,
# two runs at once and runs cut short. Each row asserts the exit status, the
# line, that OUT_DIR is as it was, and that nothing was written outside the
# build tree and the tool's own temporary folder, which must end empty.
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
VERIFY_USAGE="usage: scripts/verify-release RELEASE_DIR [--ca FILE] [--tsa-ca FILE] [--mirror URL] [--publisher FINGERPRINT]..."

# What a row may not touch: /etc, this checkout outside build/, and whatever
# the tools would leave in their temporary folder or beside OUT_DIR.
marker=$work/before-row
untouched() { # NAME
    local changed
    changed=$(find /etc . -mindepth 1 \( -path ./build -o -path ./.git \) -prune -o -newer "$marker" -print 2>/dev/null | head -n 3 | tr '\n' ' ')
    check "$1: nothing outside the build tree was written${changed:+; written: $changed}" test -z "$changed"
    changed=$(find "$TMPDIR" -mindepth 1 -maxdepth 1 -printf '%f ')
    check "$1: the tools' temporary folder is empty${changed:+; it holds $changed}" test -z "$changed"
    rm -rf "${TMPDIR:?}"/*
}
touch "$marker"
# Lets a row's tool run; a row is one tool's call with the environment it names.
tool() { # NAME ENV... -- TOOL ARGS...: output in $work/NAME.out and .err, exit in $status
    local name=$1 environment=()
    shift
    while [ "$1" != -- ]; do environment+=("$1"); shift; done
    shift
    touch "$marker"
    sleep 1 # the marker's second passes before anything the row writes
    env "${environment[@]}" timeout 600 "$@" >"$work/$name.out" 2>"$work/$name.err"
    status=$?
}
refused() { # NAME STATUS LINE [OUT_DIR]: the row's verdict, its one line, OUT_DIR absent, nothing written
    check "$1: exit status $2, got $status" test "$status" -eq "$2"
    check "$1: says \"$3\"; said: $(grep -v ': warning:' "$work/$1.err" | head -c 400)" \
        test "$(grep -v ': warning:' "$work/$1.err")" = "$3"
    [ -z "${4:-}" ] || check "$1: OUT_DIR left as it was (absent)" test ! -e "$4" -a ! -L "$4"
    untouched "$1"
}

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
)
touch "$work/a.pfx" "$work/b.pfx" "$work/apt-anyone.conf" && chmod 0666 "$work/apt-anyone.conf"
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
    check "$name: refused before anything was built" bash -c "! grep -q 'building' '$work/$name.out'"
done

# ------------------------------------------------------ package: secrets in a trace
# The password under bash -x and SHELLOPTS=xtrace: in no output, and in no file of
# the staging folder at the moment osslsigncode signs (a shim looks then).
mkdir -p "$work/spy"
cat >"$work/spy/osslsigncode" <<SPY
#!/bin/sh
if [ "\$1" = sign ]; then
    if grep -rqF -- "\$CORVANDEL_PFX_PASSWORD" "$TMPDIR" 2>/dev/null; then echo found; else echo clean; fi >>"$work/spy/seen"
fi
exec $(command -v osslsigncode) "\$@"
SPY
chmod +x "$work/spy/osslsigncode"
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

# ------------------------------------------------ package: two at once, and cut short
# A clone whose exe sources differ from every kept build (one comment added),
# sharing this tree's release root: two packagings started together must both
# end right with the same exe, the second saying it waits; never half of one.
clone=$work/clone
git clone -q --shared "$PWD" "$clone" && cp -r scripts tests "$clone/" &&
    mkdir -p "$clone/build" && ln -s "$PWD/build/release-root" "$clone/build/release-root"
echo "// $(date +%s%N): sources no release root has built yet" >>"$clone/update/plan.h"
touch "$marker"
for run in 1 2; do
    (cd "$clone" && exec timeout 600 scripts/package "$work/good" "$work/out-together-$run") \
        >"$work/together-$run.out" 2>"$work/together-$run.err" &
    together[run]=$!
done
status=0 && wait "${together[1]}" || status=$?
status2=0 && wait "${together[2]}" || status2=$?
check "together: both packagings ended right, exit 0 and 0, got $status and $status2 ($(tail -qn1 "$work"/together-*.err | tr '\n' ' '))" \
    test "$status" -eq 0 -a "$status2" -eq 0
check "together: one of them said it waited" \
    grep -qx "package: waiting for another packaging or verification of this checkout, which uses the release root now ..." "$work/together-1.out" "$work/together-2.out"
for run in 1 2; do
    check "together-$run: the exe is whole and the program's" \
        output_into /dev/null tests/wine/check_exe.sh i686-w64-mingw32-objdump "$work/out-together-$run/CorvandelUpdate.exe"
done
check "together: both released the same exe, the one BUILDINFO records" bash -c \
    "cmp -s '$work/out-together-1/CorvandelUpdate.exe' '$work/out-together-2/CorvandelUpdate.exe' &&
     test \"\$(sha256sum <'$work/out-together-1/CorvandelUpdate.exe' | cut -d' ' -f1)\" = \"\$(sed -n 's/^Unsigned-Exe-Sha256: //p' '$work/out-together-1/BUILDINFO')\""
untouched together
# Interrupted at each kind of step, by Ctrl-C (SIGINT) or a kill (SIGTERM): it
# must say so and end within seconds, leaving OUT_DIR absent, no staging
# folder, no half-made root and no half-kept exe that a later run would take.
mkdir -p "$work/slow"
printf '#!/bin/sh\necho "mmdebstrap: making a root (a stand-in that takes ten minutes) ..."\nexec sleep 600\n' >"$work/slow/mmdebstrap"
# unzip, when the dry run unpacks the zip into the download folder: a Wine session runs then.
printf '#!/bin/sh\ncase "$*" in *" -d "*) exec sleep 600 ;; esac\nexec %s "$@"\n' "$(command -v unzip)" >"$work/slow/unzip"
chmod +x "$work/slow/mmdebstrap" "$work/slow/unzip"
# Until the run's output holds a line matching PATTERN, for at most SECONDS.
wait_for_line() { # FILE PATTERN SECONDS
    local deadline=$((SECONDS + $3))
    until grep -q -- "$2" "$1" 2>/dev/null; do
        [ $SECONDS -lt $deadline ] || { echo "FAIL: waited $3 s for \"$2\" in $1"; return 1; }
        sleep 0.2
    done
}
cold=$work/cold-clone # a clone with no release root yet: packaging must make one
git clone -q --shared "$PWD" "$cold" && cp -r scripts tests "$cold/"
# name | signal | the line of its output it is sent after (and 2 s) | the clone it runs in | PATH before the system's
INTERRUPTIONS=(
    "ctrl_c_while_making_the_root|INT|^package: making the release root|$cold|$work/slow:"
    "killed_while_making_the_root|TERM|^package: making the release root|$cold|$work/slow:"
    "ctrl_c_while_building|INT|^package: building CorvandelUpdate.exe in the release root|$clone|"
    "ctrl_c_during_the_dry_run|INT|^package: dry run on Wine|$PWD|$work/slow:"
)
echo "// $(date +%s%N): again sources no release root has built yet" >>"$clone/update/plan.h"
for row in "${INTERRUPTIONS[@]}"; do
    IFS='|' read -r name signal after tree path <<<"$row"
    touch "$marker"
    (cd "$tree" && PATH=$path$PATH exec env --default-signal=INT timeout 600 scripts/package "$work/good" "$work/out-$name") \
        >"$work/$name.out" 2>"$work/$name.err" &
    pid=$!
    wait_for_line "$work/$name.out" "$after" 300 && sleep 2
    sent=$SECONDS
    kill -"$signal" "$pid"
    status=0 && wait "$pid" || status=$?
    check "$name: exit status 2 within 10 s of SIG$signal, got $status after $((SECONDS - sent)) s" \
        test "$status" -eq 2 -a $((SECONDS - sent)) -le 10
    check "$name: says it was interrupted; said: $(tail -n1 "$work/$name.err")" \
        grep -qx "package: interrupted (SIG$signal): stopping; nothing is written, and what was begun is removed" "$work/$name.err"
    check "$name: OUT_DIR left as it was (absent)" test ! -e "$work/out-$name"
    check "$name: no half-made root left" test -z "$(ls -d "$tree"/build/release-root/*.new 2>/dev/null)"
    check "$name: no half-kept exe left" test -z "$(ls "$tree"/build/release-root/*.builds/*.partial 2>/dev/null)"
    # The pattern's brackets keep pgrep from finding the shell that runs it.
    check "$name: no process of it is left" bash -c "! pgrep -f '[${work:0:1}]${work:1}/out-$name' >/dev/null"
    # Wine, Xvfb and the rest of a patch world have their folder in their environment.
    left=$(grep -l -a -F "$TMPDIR/corvandel-" /proc/[0-9]*/environ 2>/dev/null | cut -d/ -f3 | tr '\n' ' ')
    check "$name: no process of its Wine session is left${left:+; left: $left}" test -z "$left"
    untouched "$name"
done
package after_interruptions "$work/good" "$work/out-after_interruptions"
check "after_interruptions: a packaging after them ends right, exit 0, got $status" test "$status" -eq 0
(cd "$clone" && timeout 600 scripts/package "$work/good" "$work/out-after_build_interrupted") >/dev/null 2>&1
check "after_interruptions: in the clone whose build was cut short, the exe is whole" \
    output_into /dev/null tests/wine/check_exe.sh i686-w64-mingw32-objdump "$work/out-after_build_interrupted/CorvandelUpdate.exe"
untouched after_interruptions
# A full disk where OUT_DIR goes: a tiny tmpfs (only root may mount one).
if [ "$(id -u)" -eq 0 ] && mkdir -p "$work/full-disk" && mount -t tmpfs -o size=12k tmpfs "$work/full-disk"; then
    echo "not ours" >"$work/full-disk/keep.txt"
    tool disk_full -- scripts/package "$work/good" "$work/full-disk/release"
    umount_full() { find "$work/full-disk" -mindepth 1 -maxdepth 1 -printf '%f\n' | sort | xargs; }
    check "disk_full: exit status 2, got $status" test "$status" -eq 2
    check "disk_full: says why; said: $(tail -n1 "$work/disk_full.err")" \
        grep -q "^package: could not write .* into $work/full-disk (a full disk?); OUT_DIR left as it was$" "$work/disk_full.err"
    check "disk_full: the disk holds what it held, nothing else ($(umount_full))" test "$(umount_full)" = keep.txt
    untouched disk_full
    umount "$work/full-disk"
else
    echo "skipped: disk_full: mounting a tiny tmpfs needs root"
fi

# --------------------------------------------------- verify-release: a lying release
# An unsigned release, as anyone can make one, changed and re-summed: nothing
# vouches for it, so each field must be judged for what it may be before a
# path, an apt source or an argument is made of it.
package base "$work/good" "$work/release"
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
tool mirror_unreadable -- scripts/verify-release "$work/release" --mirror http://127.0.0.1:1/debian/
check "mirror_unreadable: exit status 2, got $status" test "$status" -eq 2
check "mirror_unreadable: names the mirror and apt's error; said: $(tail -n1 "$work/mirror_unreadable.out")" \
    grep -qx "verify-release: cannot verify: could not read the mirror: apt-get update of bookworm bookworm-updates from http://127.0.0.1:1/debian/ failed (E: Failed to fetch http://127.0.0.1:1/debian/.*[a-z].*)" "$work/mirror_unreadable.out"
untouched mirror_unreadable
# apt's view of this machine as another machine may have it (APT_CONFIG): a
# third-party repository listed before Debian's, and for packaging, Debian's
# mirror unreachable. The tools must take Debian's source, and say apt's error.
apt_world() { # DIR SOURCE-LINE... (each "URI SUITE ORIGIN"): a sources list, and Release files as apt keeps them
    local dir=$1 uri suite origin list
    shift
    mkdir -p "$dir/lists/partial"
    : >"$dir/sources.list"
    for source in "$@"; do
        read -r uri suite origin <<<"$source"
        echo "deb [trusted=yes] $uri $suite main" >>"$dir/sources.list"
        list=$(sed 's|^[a-z]*://||; s|/$||; s|/|_|g' <<<"$uri")_dists_${suite}
        printf 'Origin: %s\nLabel: %s\nSuite: %s\nCodename: %s\nComponents: main\nArchitectures: %s\n' \
            "$origin" "$origin" "$suite" "$suite" "$(dpkg --print-architecture)" >"$dir/lists/${list}_Release"
        : >"$dir/lists/${list}_main_binary-$(dpkg --print-architecture)_Packages"
    done
    printf 'Dir::Etc::sourcelist "%s/sources.list";\nDir::Etc::sourceparts "-";\nDir::State::Lists "%s/lists";\n' \
        "$dir" "$dir" >"$dir/apt.conf"
    chmod -R go-w "$dir"
}
apt_world "$work/apt-third-party" "http://aaa.vendor.example/repo stable Vendor" "$(debian_mirror_of_this_machine) bookworm Debian"
tool third_party_first APT_CONFIG="$work/apt-third-party/apt.conf" -- scripts/verify-release "$work/release"
check "third_party_first: verified, exit status 0, got $status ($(tail -n1 "$work/third_party_first.out"))" test "$status" -eq 0
check "third_party_first: Debian's mirror was taken, not the vendor's listed before it" \
    grep -qx "verify-release: 4/7 toolchain: bookworm, the recorded versions, from $(debian_mirror_of_this_machine)" "$work/third_party_first.out"
untouched third_party_first
apt_world "$work/apt-unreachable" "http://aaa.vendor.example/repo stable Vendor" "http://127.0.0.1:1/debian/ bookworm Debian"
tool pin_check_unreadable APT_CONFIG="$work/apt-unreachable/apt.conf" -- scripts/package "$work/good" "$work/out-pin_check_unreadable"
check "pin_check_unreadable: exit status 2, got $status" test "$status" -eq 2
check "pin_check_unreadable: names the mirror and apt's error; said: $(tail -n1 "$work/pin_check_unreadable.err")" \
    grep -qx "package: cannot check the pinned toolchain: apt-get update of bookworm bookworm-updates from http://127.0.0.1:1/debian/ failed (E: Failed to fetch http://127.0.0.1:1/debian/.*[a-z].*)" "$work/pin_check_unreadable.err"
check "pin_check_unreadable: OUT_DIR left as it was (absent)" test ! -e "$work/out-pin_check_unreadable"
untouched pin_check_unreadable

report
