# shellcheck shell=bash
# A release tool's work runs in a process group of its own, and the tool's
# first shell only waits for it. A shell runs its traps only between
# commands, so a tool that waited on a long step itself (mmdebstrap, apt, a
# build, Wine, a timestamp server under `timeout`, which leaves the
# terminal's process group) would hear Ctrl-C or a kill only when that step
# ended, minutes later. The waiting shell hears it at once, stops the whole
# session (TERM, then KILL after a few seconds) and removes what the work had
# not yet cleaned up. Source it at the top of the tool, before anything else:
#   supervise TOOL SCRIPT ARGS...  in the first shell: runs SCRIPT ARGS... as its own process group,
#                                  waits and exits with its status; on INT, TERM or HUP says so in
#                                  one line, stops every process of the work and exits 2. The
#                                  secrets (SECRET_NAMES) reach the work on pipes, never in its
#                                  environment. In the work, takes them into variables and returns
#   committing                     (in the work) what follows must not be cut short: the one rename
#                                  that writes the release. Interrupted from now on, the supervisor lets
#                                  the work end by itself, and its status stands
#   leaves_behind PATH             (in the work) PATH is removed if the work is stopped before its
#                                  own clean-up runs: a staging folder, a half-made release or root.
#                                  Mounts under PATH are unmounted first, and removal never crosses
#                                  into another file system

source "${BASH_SOURCE[0]%/*}/outside-values.sh" # tmpdir_fault
SUPERVISE_GRACE_SECONDS=5
SUPERVISE_COMMIT_SECONDS=60

supervise() { # TOOL SCRIPT ARGS...
    # The work knows it is supervised when its parent is the supervisor that said so.
    [ "${CORVANDEL_SUPERVISOR:-}" != "$PPID" ] || { secrets_taken; return 0; }
    local tool=$1 script=$2 leftovers work status=0 fault trace=() fd name fds='' pending=''
    shift 2
    # A signal before the work is started, or before its traps below are set, is
    # kept and answered then: never the default death, which would leave the work
    # running in a session of its own, and all it had begun.
    # shellcheck disable=SC2064 # the signal's name is fixed now, on purpose
    for signal in INT TERM HUP; do trap "pending=\${pending:-$signal}" "$signal"; done
    # A key's secrets go to the work alone, not to this shell's own helpers.
    secrets_held
    fault=$(tmpdir_fault)
    [ -z "$fault" ] || { echo "$tool: $fault" >&2; exit 2; }
    leftovers=$(mktemp "${TMPDIR:-/tmp}/corvandel-leftovers.XXXXXX") || exit 2
    # A trace asked for (bash -x) goes on in the work.
    [[ $- != *x* ]] || trace=(-x)
    # The secrets go to the work on a pipe each, never in its environment, which
    # /proc/PID/environ shows for as long as the work runs.
    for name in "${SECRET_NAMES[@]}"; do
        [ -n "${!name+set}" ] || continue
        exec {fd}< <(with_secret "$name" awk -v name="$name" 'BEGIN { printf "%s", ENVIRON[name] }')
        fds+="$name:$fd "
    done
    (CORVANDEL_SECRET_FDS=$fds CORVANDEL_SUPERVISOR=$$ CORVANDEL_LEFTOVERS=$leftovers exec setsid "$BASH" "${trace[@]}" "$script" "$@") &
    work=$!
    for name in $fds; do fd=${name#*:} && exec {fd}<&-; done
    # shellcheck disable=SC2064 # the values are fixed now, on purpose
    for signal in INT TERM HUP; do trap "supervise_stop '$tool' $work $signal '$leftovers'" "$signal"; done
    [ -z "$pending" ] || supervise_stop "$tool" "$work" "$pending" "$leftovers"
    wait "$work" || status=$?
    rm -f "$leftovers" "$leftovers.committing"
    exit "$status"
}

# In the work: each secret the supervisor sent, read from its pipe into a
# variable of this shell (never the environment), and the pipe closed.
secrets_taken() {
    local pair name fd
    for pair in ${CORVANDEL_SECRET_FDS:-}; do
        name=${pair%%:*} fd=${pair#*:}
        [[ " ${SECRET_NAMES[*]} " == *" $name "* && $fd =~ ^[0-9]+$ ]] || continue
        IFS= read -r -d '' "$name" <&"$fd" || true
        exec {fd}<&-
    done
    unset CORVANDEL_SECRET_FDS
}

# Every process of the work's session: steps run under timeout make process
# groups of their own, but stay in the session.
session_processes() { # SESSION
    ps -e -o pid=,sid=,stat= | awk -v session="$1" '$2 == session && $3 !~ /^Z/ { print $1 }'
}

supervise_stop() { # TOOL WORK SIGNAL LEFTOVERS
    local tool=$1 work=$2 deadline=$((SECONDS + SUPERVISE_GRACE_SECONDS)) path processes
    trap '' INT TERM HUP
    if [ -e "$4.committing" ]; then
        # The release is being renamed into place, or is there: stopping now would only lie about it.
        echo "$tool: interrupted (SIG$3) while the release was being written; it is written whole" >&2
        local status=0
        timeout "$SUPERVISE_COMMIT_SECONDS" tail --pid="$work" -f /dev/null || true
        wait "$work" || status=$?
        rm -f "$4" "$4.committing"
        exit "$status"
    fi
    echo "$tool: interrupted (SIG$3): stopping; nothing is written, and what was begun is removed" >&2
    processes=$(session_processes "$work")
    # shellcheck disable=SC2086 # one PID a word
    [ -z "$processes" ] || kill -TERM $processes 2>/dev/null || true
    while [ -n "$(session_processes "$work")" ] && [ $SECONDS -lt "$deadline" ]; do sleep 0.2; done
    processes=$(session_processes "$work")
    # shellcheck disable=SC2086
    [ -z "$processes" ] || kill -KILL $processes 2>/dev/null || true
    wait "$work" 2>/dev/null || true
    while IFS= read -r path; do remove_leftover "$path"; done <"$4"
    rm -f "$4" "$4.committing"
    exit 2
}

# What still runs in PATH, by its working folder or its environment (Wine's
# services leave their session and would outlive it).
# Two processes in all, not two for each process there is: a machine may run
# a thousand. The processes are listed before those two start, which are never
# among them; the folders come NUL-separated, as no path can hold a NUL.
processes_using() { # PATH
    local entries=(/proc/[0-9]*) entry cwd
    while IFS= read -r -d '' entry && IFS= read -r -d '' cwd; do
        case $cwd in "$1" | "$1"/*) echo "${entry#/proc/}" ;; esac
    done < <(find "${entries[@]/%//cwd}" -maxdepth 0 -printf '%h\0%l\0' 2>/dev/null)
    grep -laF -- "=$1/" "${entries[@]/%//environ}" 2>/dev/null | sed -n 's|^/proc/\([0-9]*\)/environ$|\1|p'
}

remove_leftover() { # PATH
    local point processes
    [[ $1 == /?* ]] || return 0
    # Even once the folder is gone: its Wine services outlive their server's end.
    processes=$(processes_using "$1" | grep -vx "$$" || true)
    # shellcheck disable=SC2086 # one PID a word
    [ -z "$processes" ] || kill -KILL $processes 2>/dev/null || true
    [ -e "$1" ] || return 0
    # The deepest mounts first, as mmdebstrap or a Wine session left them.
    awk -v under="$1/" 'index($2, under) == 1 { print $2 }' /proc/self/mounts | sort -r | while read -r point; do
        umount -l "$point" 2>/dev/null || true
    done
    # A folder the build made unwritable (chmod 0555, 0) would keep its files from an
    # ordinary user: folders only, for a view's files are the cached root's, hard-linked.
    find "$1" -xdev -type d ! -perm -u=rwx -exec chmod u+rwx {} \; 2>/dev/null || true
    rm -rf --one-file-system -- "$1" 2>/dev/null ||
        echo "${0##*/}: could not remove $(shown "$1"), which it made; remove it by hand" >&2
}

# Only the list this work's supervisor made: the variable comes from the environment.
supervised() {
    [[ ${CORVANDEL_LEFTOVERS:-} == "${TMPDIR:-/tmp}"/corvandel-leftovers.* && -f $CORVANDEL_LEFTOVERS &&
        -O $CORVANDEL_LEFTOVERS && ! -L $CORVANDEL_LEFTOVERS ]]
}

leaves_behind() { # PATH
    supervised || return 0
    printf '%s\n' "$1" >>"$CORVANDEL_LEFTOVERS"
}

committing() {
    supervised || return 0
    : >"$CORVANDEL_LEFTOVERS.committing"
}
