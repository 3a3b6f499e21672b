# shellcheck shell=bash
# The test command's steps. Each step's output goes to its own log,
# build/test-logs/NAME.log; the screen shows when it starts and how it ended,
# and for a failed step its FAIL lines and the end of its log. Steps that
# need only what is built run side by side, up to TEST_JOBS at once: most of
# their time is spent waiting on Wine, a mirror or a server, not on a core.
# Source it from the project's root; then:
#   step NAME DESCRIPTION COMMAND...      runs now; when it fails, the command ends here with the
#                                         list of the steps so far
#   step_alongside NAME DESCRIPTION COMMAND...
#                                         starts in the background, as soon as fewer than TEST_JOBS
#                                         steps run; a failure is reported, and the others go on
#   steps_wait                            waits for the steps started alongside
#   steps_report                          the list: each step's time, its checks and how it ended;
#                                         status 1 when a step failed
# A step's checks are what its log counts: each "N passed, M failed" line
# (the project's shell tests, the static analysis), each "out of N" of
# CTest, and each "[==========] N tests ... ran." of GoogleTest. Rows a
# machine cannot run ("N passed, M failed, K skipped: why") are never
# counted as passed: the step's line and the list say how many, and why.

TEST_LOGS=build/test-logs
TEST_JOBS=${TEST_JOBS:-4}
TEST_STARTED=$SECONDS
declare -A STEP_STARTED=() STEP_RUNNING=()
STEP_LINES=() STEPS_FAILED=0

[[ $TEST_JOBS =~ ^[1-9][0-9]?$ ]] || { echo "test: TEST_JOBS=$TEST_JOBS is not a number of steps from 1 to 99" >&2; exit 2; }
rm -rf "$TEST_LOGS"
mkdir -p "$TEST_LOGS"

duration() { printf '%d min %2d s' $(($1 / 60)) $(($1 % 60)); } # SECONDS

step_checks() { # LOG
    sed -nE 's/^([0-9]+) passed, ([0-9]+) failed.*/\1 \2/p
        s/.*tests passed, [0-9]+ tests? failed out of ([0-9]+).*/\1 0/p
        s/^\[==========\] ([0-9]+) tests? from .* ran\..*/\1 0/p' "$1" | awk '{ n += $1 + $2 } END { print n + 0 }'
}

# The first "K skipped: why" of a step's log, as "K skipped: why".
step_skipped() { # LOG
    sed -nE 's/^[0-9]+ passed, [0-9]+ failed, ([0-9]+ skipped: .*)/\1/p' "$1" | head -n 1
}

# How a step ended, on the screen and in the list.
step_ended() { # NAME STATUS
    local name=$1 status=$2 took=$((SECONDS - STEP_STARTED[$1])) log=$TEST_LOGS/$1.log result checks skipped
    checks=$(step_checks "$log")
    skipped=$(step_skipped "$log")
    if [ "$status" -eq 0 ]; then
        result=passed${skipped:+ but $skipped}
    else
        result="FAILED (exit $status)"
        STEPS_FAILED=$((STEPS_FAILED + 1))
    fi
    printf -- '---- %s: %s, %d checks, %s (log: %s)\n' "$name" "$result" "$checks" "$(duration "$took")" "$log"
    if [ "$status" -ne 0 ]; then
        grep -m 20 'FAIL' "$log" | sed 's/^/     /' || true # a step may fail without a FAIL line
        echo "     ... the end of its log:"
        tail -n 25 "$log" | sed 's/^/     /'
    fi
    STEP_LINES+=("$(printf '%-15s %s  %5d checks  %s' "$name" "$(duration "$took")" "$checks" "$result")")
}

step() { # NAME DESCRIPTION COMMAND...
    local name=$1 status=0
    STEP_STARTED[$name]=$SECONDS
    printf '==== %s: %s\n' "$name" "$2"
    shift 2
    "$@" >"$TEST_LOGS/$name.log" 2>&1 || status=$?
    step_ended "$name" "$status"
    [ "$status" -eq 0 ] || { steps_wait; steps_report; exit 1; }
}

step_alongside() { # NAME DESCRIPTION COMMAND...
    local name=$1
    while [ ${#STEP_RUNNING[@]} -ge "$TEST_JOBS" ]; do step_reap; done
    STEP_STARTED[$name]=$SECONDS
    printf '==== %s: %s (alongside others)\n' "$name" "$2"
    shift 2
    "$@" >"$TEST_LOGS/$name.log" 2>&1 </dev/null &
    STEP_RUNNING[$!]=$name
}

# The next step started alongside to end, reported. Asked by polling: bash's
# wait -n, given the steps' PIDs, says "no such job" for one that has ended
# already, and the step would be lost.
step_reap() {
    local pid status name
    while :; do
        for pid in "${!STEP_RUNNING[@]}"; do
            ! kill -0 "$pid" 2>/dev/null || continue
            status=0
            wait "$pid" || status=$?
            name=${STEP_RUNNING[$pid]}
            unset "STEP_RUNNING[$pid]"
            step_ended "$name" "$status"
            return 0
        done
        sleep 0.3
    done
}

steps_wait() { while [ ${#STEP_RUNNING[@]} -gt 0 ]; do step_reap; done; }

steps_report() {
    local total=$((SECONDS - TEST_STARTED))
    echo
    if [ "$STEPS_FAILED" -eq 0 ]; then echo "==== passed, in $(duration "$total"); each step:"; else echo "==== FAILED: $STEPS_FAILED step(s), in $(duration "$total"); each step:"; fi
    printf '  %s\n' "${STEP_LINES[@]}"
    [ "$STEPS_FAILED" -eq 0 ]
}
