# A release tool's work runs in a process group of its own, and the tool's
# first shell only waits for it. A shell runs its traps only between
# commands, so a tool that waited on a long step itself (mmdebstrap, apt, a
# build, Wine, a timestamp server under `timeout`, which leaves the
# terminal's process group) would hear Ctrl-C or a kill only when that step
# ended, minutes later. The waiting shell hears it at once, stops the whole
# group (TERM, then KILL after a few seconds) and removes what the work had
# not yet cleaned up. Source it at the top of the tool, before anything else:
#   supervise TOOL SCRIPT ARGS...  in the first shell: runs SCRIPT ARGS... as its own process group,
#                                  waits and exits with its status; on INT, TERM or HUP says so in
#                                  one line, stops the group and exits 2. In the work, returns at once
#   leaves_behind PATH             (in the work) PATH is removed if the work is stopped before its
#                                  own clean-up runs: a staging folder, a half-made release or root.
#                                  Mounts under PATH are unmounted first, and removal never crosses
#                                  into another file system

SUPERVISE_GRACE_SECONDS=5

supervise() { # TOOL SCRIPT ARGS...
    # The work knows it is supervised when its parent is the supervisor that said so.
    [ "${CORVANDEL_SUPERVISOR:-}" != "$PPID" ] || return 0
    local tool=$1 script=$2 leftovers work status=0
    shift 2
    leftovers=$(mktemp "${TMPDIR:-/tmp}/corvandel-leftovers.XXXXXX") || exit 2
    CORVANDEL_SUPERVISOR=$$ CORVANDEL_LEFTOVERS=$leftovers setsid "$script" "$@" &
    work=$!
    # shellcheck disable=SC2064 # the values are fixed now, on purpose
    for signal in INT TERM HUP; do trap "supervise_stop '$tool' $work $signal '$leftovers'" "$signal"; done
    wait "$work" || status=$?
    rm -f "$leftovers"
    exit "$status"
}

supervise_stop() { # TOOL WORK SIGNAL LEFTOVERS
    local tool=$1 work=$2 deadline=$((SECONDS + SUPERVISE_GRACE_SECONDS)) path
    trap '' INT TERM HUP
    echo "$tool: interrupted (SIG$3): stopping; nothing is written, and what was begun is removed" >&2
    kill -TERM -- "-$work" 2>/dev/null
    while group_alive "$work" && [ $SECONDS -lt "$deadline" ]; do sleep 0.2; done
    kill -KILL -- "-$work" 2>/dev/null
    wait "$work" 2>/dev/null
    while IFS= read -r path; do remove_leftover "$path"; done <"$4"
    rm -f "$4"
    exit 2
}

# Any process of the group that has not ended: a zombie has, and only waits to be reaped.
group_alive() { # GROUP
    ps -e -o pgid=,stat= | awk -v group="$1" '$1 == group && $2 !~ /^Z/ { alive = 1 } END { exit !alive }'
}

remove_leftover() { # PATH
    local point
    [[ $1 == /?* ]] && [ -e "$1" ] || return 0
    # The deepest mounts first, as mmdebstrap or a Wine session left them.
    awk -v under="$1/" 'index($2, under) == 1 { print $2 }' /proc/self/mounts | sort -r | while read -r point; do
        umount -l "$point" 2>/dev/null
    done
    rm -rf --one-file-system -- "$1" 2>/dev/null
}

leaves_behind() { # PATH
    # Only the list this work's supervisor made: the variable comes from the environment.
    [[ ${CORVANDEL_LEFTOVERS:-} == "${TMPDIR:-/tmp}"/corvandel-leftovers.* && -f $CORVANDEL_LEFTOVERS &&
        -O $CORVANDEL_LEFTOVERS && ! -L $CORVANDEL_LEFTOVERS ]] || return 0
    printf '%s\n' "$1" >>"$CORVANDEL_LEFTOVERS"
}
