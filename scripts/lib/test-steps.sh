# shellcheck shell=bash
# The test command's steps. Each step's output goes to its own log,
# build/test-logs/NAME.log; the screen shows when it starts and how it ended,
# and for a failed step its FAIL lines and the end of its log. Steps that
# need only what is built run side by side, up to TEST_JOBS at once: by
# default as many as the cores this process may run on (taskset narrows
# them), and no more than its memory holds at STEP_MEMORY_GIB a step.
# Each step's processor time (user and system) is counted with its wall
# time: in a cgroup of its own where this machine lets the command make one
# (cgroup v2, or v1's cpuacct; as root on Debian, and in a chroot that has
# /sys), so that daemons a step starts (wineserver, Xvfb) count too;
# elsewhere it is what the step's processes that were waited for used
# (bash's times), and the list says which.
# Source it from the project's root; then:
#   step NAME DESCRIPTION COMMAND...      runs now; when it fails, the command ends here with the
#                                         list of the steps so far
#   step_alongside NAME DESCRIPTION COMMAND...
#                                         starts in the background, as soon as fewer than TEST_JOBS
#                                         steps run; a failure is reported, and the others go on
#   steps_wait                            waits for the steps started alongside
#   steps_report                          the list: each step's wall and processor time, its checks
#                                         and how it ended, and the whole's; status 1 when a step failed
# A step's checks are what its log counts: each "N passed, M failed" line
# (the project's shell tests, the static analysis), each "out of N" of
# CTest, and each "[==========] N tests ... ran." of GoogleTest. Rows a
# machine cannot run ("N passed, M failed, K skipped: why") are never
# counted as passed: the step's line and the list say how many, and why.

TEST_LOGS=build/test-logs
STEP_MEMORY_GIB=2
# The cores this process may run on, and the steps its available memory holds.
steps_by_default() {
    local cores memory
    cores=$(nproc 2>/dev/null || echo 1)
    memory=$(awk '/^MemAvailable:/ { print int($2 / 1048576 / '"$STEP_MEMORY_GIB"') }' /proc/meminfo 2>/dev/null)
    [ "${memory:-0}" -ge 1 ] || memory=1
    echo $((cores < memory ? cores : memory))
}
TEST_JOBS=${TEST_JOBS:-$(steps_by_default)}
TEST_STARTED=$SECONDS
declare -A STEP_STARTED=() STEP_RUNNING=()
STEP_LINES=() STEPS_FAILED=0 STEPS_CPU_MS=0

[[ $TEST_JOBS =~ ^[1-9][0-9]?$ ]] || { echo "test: TEST_JOBS=$TEST_JOBS is not a number of steps from 1 to 99" >&2; exit 2; }
rm -rf "$TEST_LOGS"
mkdir -p "$TEST_LOGS"

duration() { printf '%d min %2d s' $(($1 / 60)) $(($1 % 60)); } # SECONDS

# ------------------------------------------------------ processor time
# STEP_CGROUPS: a folder of this run's in the cgroup tree, each step's cgroup
# under it; STEP_CGROUP_HOME: where processes left in a step's cgroup go back
# to. Empty where no cgroup can be made.
STEP_CGROUPS='' STEP_CGROUP_HOME='' STEP_CPU_HOW="its processes waited for (no cgroup here)"
# This process's cgroup folder in the hierarchy of TYPE (cgroup2, or cgroup with
# the controller CONTROLLER), from where that hierarchy is mounted.
own_cgroup() { # TYPE [CONTROLLER]
    local root mountpoint own
    read -r root mountpoint < <(awk -v type="$1" -v want="${2:-}" '{ for (i = 7; $i != "-"; i++); }
        $(i + 1) == type && (want == "" || index("," $(i + 3) ",", "," want ",")) { print $4, $5; exit }' /proc/self/mountinfo 2>/dev/null)
    [ -n "${mountpoint:-}" ] || return 1
    if [ "$1" = cgroup2 ]; then
        own=$(sed -n 's/^0:://p' /proc/self/cgroup)
    else
        own=$(awk -F: -v want="$2" 'index("," $2 ",", "," want ",") { print $3; exit }' /proc/self/cgroup)
    fi
    [ -n "$own" ] || return 1
    [ "$root" = / ] || own=${own#"$root"}
    echo "$mountpoint${own%/}"
}
# A cgroup is usable when a process can be moved into it and its time read.
steps_cgroups_open() {
    local type home probe
    for type in cgroup2 cpuacct; do
        if [ $type = cgroup2 ]; then home=$(own_cgroup cgroup2); else home=$(own_cgroup cgroup cpuacct); fi
        { [ -n "$home" ] && [ -w "$home/cgroup.procs" ]; } || continue
        probe=$home/corvandel-test-$$
        mkdir "$probe" 2>/dev/null || continue
        if (echo "$BASHPID" >"$probe/cgroup.procs") 2>/dev/null && [ -n "$(step_cgroup_usage "$probe")" ]; then
            STEP_CGROUPS=$probe STEP_CGROUP_HOME=$home STEP_CPU_HOW="a cgroup a step, daemons included ($type)"
            return 0
        fi
        rmdir "$probe" 2>/dev/null
    done
    return 0
}
# Processor time a cgroup's processes used, in milliseconds.
step_cgroup_usage() { # CGROUP
    if [ -r "$1/cpu.stat" ]; then
        awk '$1 == "usage_usec" { printf "%d\n", $2 / 1000 }' "$1/cpu.stat"
    elif [ -r "$1/cpuacct.usage" ]; then
        awk '{ printf "%d\n", $1 / 1000000 }' "$1/cpuacct.usage"
    fi
}
# What is left in a step's cgroup goes back home, and the cgroup is removed.
step_cgroup_close() { # CGROUP
    local pid
    [ -d "$1" ] || return 0
    while read -r pid; do echo "$pid" >"$STEP_CGROUP_HOME/cgroup.procs" 2>/dev/null || true; done <"$1/cgroup.procs"
    rmdir "$1" 2>/dev/null || true
}
steps_cgroups_close() {
    local cgroup
    [ -n "$STEP_CGROUPS" ] || return 0
    for cgroup in "$STEP_CGROUPS"/*/; do [ ! -d "$cgroup" ] || step_cgroup_close "${cgroup%/}"; done
    rmdir "$STEP_CGROUPS" 2>/dev/null || true
}
steps_cgroups_open
trap steps_cgroups_close EXIT
# Runs a step's COMMAND in the step's cgroup, and records in $TEST_LOGS/NAME.cpu
# the milliseconds that its processes waited for used (bash's times).
step_run() { # NAME COMMAND...
    local name=$1 status=0
    shift
    if [ -n "$STEP_CGROUPS" ]; then
        mkdir -p "$STEP_CGROUPS/$name" && echo "$BASHPID" >"$STEP_CGROUPS/$name/cgroup.procs"
    fi
    "$@" || status=$?
    # Not in a pipe: its subshell would have no children.
    times >"$TEST_LOGS/$name.cpu"
    awk 'NR == 2 { n = 0; for (i = 1; i <= 2; i++) { gsub(/,/, ".", $i); split($i, t, /[ms]/); n += t[1] * 60000 + t[2] * 1000 } printf "%d\n", n }' \
        "$TEST_LOGS/$name.cpu" >"$TEST_LOGS/$name.cpu.new" && mv -f "$TEST_LOGS/$name.cpu.new" "$TEST_LOGS/$name.cpu"
    return $status
}
# The step's processor time in milliseconds: its cgroup's, else its processes' waited for.
step_cpu_ms() { # NAME
    local used=''
    if [ -n "$STEP_CGROUPS" ] && [ -d "$STEP_CGROUPS/$1" ]; then
        used=$(step_cgroup_usage "$STEP_CGROUPS/$1")
        step_cgroup_close "$STEP_CGROUPS/$1"
    fi
    [ -n "$used" ] || used=$(cat "$TEST_LOGS/$1.cpu" 2>/dev/null)
    echo "${used:-0}"
}
cpu_time() { printf '%d min %2d.%d s' $(($1 / 60000)) $(($1 / 1000 % 60)) $(($1 / 100 % 10)); } # MILLISECONDS

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
    local name=$1 status=$2 took=$((SECONDS - STEP_STARTED[$1])) log=$TEST_LOGS/$1.log result checks skipped cpu
    checks=$(step_checks "$log")
    cpu=$(step_cpu_ms "$name")
    STEPS_CPU_MS=$((STEPS_CPU_MS + cpu))
    skipped=$(step_skipped "$log")
    if [ "$status" -eq 0 ]; then
        result=passed${skipped:+ but $skipped}
    else
        result="FAILED (exit $status)"
        STEPS_FAILED=$((STEPS_FAILED + 1))
    fi
    printf -- '---- %s: %s, %d checks, %s, processor %s (log: %s)\n' "$name" "$result" "$checks" "$(duration "$took")" "$(cpu_time "$cpu")" "$log"
    if [ "$status" -ne 0 ]; then
        grep -m 20 'FAIL' "$log" | sed 's/^/     /' || true # a step may fail without a FAIL line
        echo "     ... the end of its log:"
        tail -n 25 "$log" | sed 's/^/     /'
    fi
    STEP_LINES+=("$(printf '%-16s %s  %s  %5d checks  %s' "$name" "$(duration "$took")" "$(cpu_time "$cpu")" "$checks" "$result")")
}

step() { # NAME DESCRIPTION COMMAND...
    local name=$1 status=0
    STEP_STARTED[$name]=$SECONDS
    printf '==== %s: %s\n' "$name" "$2"
    shift 2
    (step_run "$name" "$@") >"$TEST_LOGS/$name.log" 2>&1 || status=$?
    step_ended "$name" "$status"
    [ "$status" -eq 0 ] || { steps_wait; steps_report; exit 1; }
}

step_alongside() { # NAME DESCRIPTION COMMAND...
    local name=$1
    while [ ${#STEP_RUNNING[@]} -ge "$TEST_JOBS" ]; do step_reap; done
    STEP_STARTED[$name]=$SECONDS
    printf '==== %s: %s (alongside others)\n' "$name" "$2"
    shift 2
    step_run "$name" "$@" >"$TEST_LOGS/$name.log" 2>&1 </dev/null &
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
    printf '  %-16s %-10s  %-12s\n' "" wall processor
    printf '  %s\n' "${STEP_LINES[@]}"
    printf '  %-16s %s  %s  (processor time: %s; %d steps at once on %s cores)\n' "in all" "$(duration "$total")" \
        "$(cpu_time "$STEPS_CPU_MS")" "$STEP_CPU_HOW" "$TEST_JOBS" "$(nproc 2>/dev/null || echo '?')"
    [ "$STEPS_FAILED" -eq 0 ]
}
