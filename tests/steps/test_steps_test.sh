#!/usr/bin/env bash
# The test command's steps (scripts/lib/test-steps.sh), run on made-up steps
# in a folder of their own: each step's checks counted from its log, each
# step reported whether or not its log says FAIL, the others waited for, and
# the list at the end. Fast: no build.
#   tests/steps/test_steps_test.sh
set -uo pipefail
cd "$(dirname "$0")/../.." || exit 1
project=$PWD
passed=0 failed=0
check() { if "${@:2}"; then passed=$((passed + 1)); else echo "FAIL: $1"; failed=$((failed + 1)); fi; }
work=$(mktemp -d "${TMPDIR:-/tmp}/corvandel-steps-test.XXXXXX")
trap 'rm -rf "$work"' EXIT

# Runs SCRIPT (the steps, as scripts/test would call them) under set -euo
# pipefail in a folder of its own; its output in $work/NAME.out, its exit in $status.
run_steps() { # NAME SCRIPT
    mkdir -p "$work/$1"
    (cd "$work/$1" && timeout 300 bash -c "set -euo pipefail; source '$project/scripts/lib/test-steps.sh'; $2") \
        >"$work/$1.out" 2>&1
    status=$?
    [ "$status" -ne 124 ] || echo "FAIL: $1: hang guard: the steps were still running after 5 minutes, and were killed"
}
said() { grep -qE -- "$2" "$work/$1.out"; } # NAME PATTERN
T='[0-9]+ min +[0-9]+ s +[0-9]+ min +[0-9]+\.[0-9] s' # a step's wall and processor time, which a busy machine stretches

# name | the steps | exit | a line the output must hold | another (extended patterns)
CASES=(
    "counts each kind of check|step_alongside a 'shell' echo '3 passed, 0 failed'; step_alongside b 'ctest' echo '100% tests passed, 0 tests failed out of 7'; step_alongside c 'gtest' echo '[==========] 5 tests from 2 test suites ran. (9 ms total)'; steps_wait; steps_report|0|^  b +$T +7 checks  passed$|^  c +$T +5 checks  passed$"
    "a step that fails without a FAIL line is reported, and the others still are|step_alongside quiet 'fails' bash -c 'echo cppcheck: cut short; exit 1'; step_alongside slow 'passes' bash -c 'sleep 1; echo 2 passed, 0 failed'; steps_wait; steps_report|1|^     \\.\\.\\. the end of its log:$|^  slow +$T +2 checks  passed$"
    "a failed step's FAIL lines are shown|step_alongside loud 'fails' bash -c 'echo FAIL: one; echo 1 passed, 1 failed; exit 1'; steps_wait; steps_report|1|^     FAIL: one$|^==== FAILED: 1 step\\(s\\)"
    "rows skipped are said, with why, and not counted as passed|step_alongside some 'skips' bash -c 'echo 2 passed, 0 failed, 9 skipped: no user namespaces here'; steps_wait; steps_report|0|^---- some: passed but 9 skipped: no user namespaces here, 2 checks|^  some +$T +2 checks  passed but 9 skipped: no user namespaces here$"
    "a step run now that fails ends the command with the list, after those alongside|step_alongside first 'passes' bash -c 'sleep 1; echo 1 passed, 0 failed'; step now 'fails' false; echo not reached|1|^  first +$T +1 checks  passed$|^  now +$T +0 checks  FAILED \\(exit 1\\)$"
)
for row in "${CASES[@]}"; do
    IFS='|' read -r name steps exit_wanted line other <<<"$row"
    run_steps case "$steps"
    check "$name: exit $exit_wanted, got $status" test "$status" -eq "$exit_wanted"
    check "$name: says \"$line\"" said case "$line"
    check "$name: says \"$other\"" said case "$other"
    check "$name: nothing after the command ended" bash -c "! grep -q 'not reached' '$work/case.out'"
    rm -rf "$work/case" "$work/case.out"
done

# A step that spends about a second of processor time, and the whole's line.
run_steps busy "step_alongside busy 'spends a second' bash -c 'for ((i = 0; i < 400000; i++)); do :; done; echo 1 passed, 0 failed'; steps_wait; steps_report"
check "busy: its processor time is counted: $(grep '^  busy ' "$work/busy.out")" \
    bash -c "grep '^  busy ' '$work/busy.out' | grep -qvE ' 0 min +0\\.0 s +1 checks'"
check "busy: the whole's line says how it was counted" said busy "^  in all +$T  \\(processor time: "
run_steps jobs "TEST_JOBS=0 source '$project/scripts/lib/test-steps.sh'"
check "TEST_JOBS=0 is refused, exit 2, got $status" test "$status" -eq 2

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
