#!/usr/bin/env bash
# A refusal or an interruption leaves nothing: scripts/package run twice at
# once in one checkout, with no exe built yet, must end right twice with the
# same exe, the second saying it waits; runs cut short by Ctrl-C (SIGINT) or a
# kill (SIGTERM) while the release root is made, the exe is built and the dry
# run runs must say so and end, leaving no OUT_DIR, no staging
# folder, no half-made root, no half-kept exe that a later run would take, and
# no process; a full disk where OUT_DIR goes leaves it as it was. How soon
# Ctrl-C is answered is a response time, which scripts/bench-response
# measures: here only a hang guard of minutes bounds it.
#   tests/package/interrupt_test.sh      (after the windows and windows-x64 presets are built)
set -uo pipefail
cd "$(dirname "$0")/../.." || exit
source tests/package/package_lib.sh
make_kit "$work/good" "${BASE[@]}"

# A clone with this tree's scripts and tests, linked to its built presets (the
# stand-ins, the helper and the twin, which packaging only reads); with "root",
# to this tree's release root too.
clone_of_this_tree() { # DIR [root]
    git clone -q --shared "$PWD" "$1" && cp -r scripts tests "$1/" && mkdir -p "$1/build" "$PWD/build/release-root" &&
        ln -s "$PWD/build/windows" "$1/build/windows" && ln -s "$PWD/build/windows-x64" "$1/build/windows-x64" &&
        { [ "${2:-}" != root ] || ln -s "$PWD/build/release-root" "$1/build/release-root"; }
}

# ------------------------------------------------ package: two at once, and cut short
# A clone whose exe sources differ from every kept build (one comment added),
# sharing this tree's release root: two packagings started together must both
# end right with the same exe, the second saying it waits; never half of one.
clone=$work/clone
clone_of_this_tree "$clone" root
# Packaging builds the commit, not the working tree: the new sources are committed in the clone.
new_sources() { # WHAT
    echo "// $(date +%s%N): $1" >>"$clone/update/plan.h" &&
        git -C "$clone" -c user.name=test -c user.email=test@example.invalid commit -q -m "$1" update/plan.h
}
new_sources "sources no release root has built yet"
row_starts
for run in 1 2; do
    (cd "$clone" && exec timeout "$HANG_GUARD_SECONDS" scripts/package "$work/good" "$work/out-together-$run") \
        >"$work/together-$run.out" 2>"$work/together-$run.err" &
    together[run]=$!
done
status=0 && wait "${together[1]}" || status=$?
status2=0 && wait "${together[2]}" || status2=$?
hang_guard together-1 "$status"
hang_guard together-2 "$status2"
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
# must say so and end, leaving OUT_DIR absent, no staging folder, no
# half-made root and no half-kept exe that a later run would take.
mkdir -p "$work/slow"
printf '#!/bin/sh\necho "mmdebstrap: making a root (a stand-in that takes ten minutes) ..."\nexec sleep 600\n' >"$work/slow/mmdebstrap"
# unzip, when the dry run unpacks the zip into the download folder: a Wine session runs then.
printf '#!/bin/sh\ncase "$*" in *" -d "*) exec sleep 600 ;; esac\nexec %s "$@"\n' "$(command -v unzip)" >"$work/slow/unzip"
chmod +x "$work/slow/mmdebstrap" "$work/slow/unzip"
# Until the run's output holds a line matching PATTERN; a hang guard of SECONDS.
wait_for_line() { # FILE PATTERN SECONDS
    local deadline=$((SECONDS + $3))
    until grep -q -- "$2" "$1" 2>/dev/null; do
        [ $SECONDS -lt $deadline ] || { echo "FAIL: hang guard: waited $(($3 / 60)) minutes for \"$2\" in $1"; return 1; }
        sleep 0.2
    done
}
# Until PID ends; a hang guard of SECONDS: a run still going then is stopped, and said to hang.
wait_guarded() { # NAME PID SECONDS WHAT
    local deadline=$((SECONDS + $3))
    while kill -0 "$2" 2>/dev/null; do
        if [ $SECONDS -ge $deadline ]; then
            echo "FAIL: $1: hang guard: still running $(($3 / 60)) minutes after $4, and killed"
            failed=$((failed + 1))
            kill -TERM "$2" 2>/dev/null && sleep 5 && kill -KILL "$2" 2>/dev/null
            break
        fi
        sleep 0.2
    done
}
cold=$work/cold-clone # no release root yet: packaging must make one
clone_of_this_tree "$cold"
# name | signal | the line of its output it is sent after (and 2 s) | the clone it runs in | PATH before the system's
INTERRUPTIONS=(
    "ctrl_c_while_making_the_root|INT|^package: making the release root|$cold|$work/slow:"
    "killed_while_making_the_root|TERM|^package: making the release root|$cold|$work/slow:"
    "ctrl_c_while_building|INT|^package: building CorvandelUpdate.exe in the release root|$clone|"
    "ctrl_c_during_the_dry_run|INT|^package: dry run on Wine|$PWD|$work/slow:"
)
new_sources "again sources no release root has built yet"
for row in "${INTERRUPTIONS[@]}"; do
    IFS='|' read -r name signal after tree path <<<"$row"
    row_starts
    (cd "$tree" && PATH=$path$PATH exec env --default-signal=INT timeout "$HANG_GUARD_SECONDS" scripts/package "$work/good" "$work/out-$name") \
        >"$work/$name.out" 2>"$work/$name.err" &
    pid=$!
    wait_for_line "$work/$name.out" "$after" 300 && sleep 2
    sent=$SECONDS
    kill -"$signal" "$pid"
    wait_guarded "$name" "$pid" 300 "SIG$signal"
    status=0 && wait "$pid" || status=$?
    check "$name: exit status 2 after SIG$signal, got $status (after $((SECONDS - sent)) s; a response time, not a verdict)" \
        test "$status" -eq 2
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
(cd "$clone" && package after_build_interrupted "$work/good" "$work/out-after_build_interrupted")
status=$(cat "$work/after_build_interrupted.status")
check "after_build_interrupted: a packaging in the clone whose build was cut short ends right, exit 0, got $status ($(tail -n1 "$work/after_build_interrupted.err"))" \
    test "$status" -eq 0
check "after_build_interrupted: the exe is whole" \
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

report
