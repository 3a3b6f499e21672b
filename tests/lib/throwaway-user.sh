# shellcheck shell=bash
# A throwaway ordinary user, as Debian's adduser makes one (a home of its
# own, a range of subordinate user and group ids), for tests of what such a
# user can do. The user exists only for the commands run as it: copies of
# /etc/passwd, /etc/group, /etc/subuid and /etc/subgid with it added are
# bind-mounted over the system's in a mount namespace of those commands' own,
# so nothing of the machine's own changes, even when the test is killed.
# Needs root. Source it; then:
#   throwaway_user_make DIR         makes the user's files in DIR: DIR/etc (the copies), DIR/home
#                                   and DIR/tmp (its own, as TMPDIR); sets THROWAWAY_USER, _UID, _HOME
#   as_throwaway_user COMMAND...    runs COMMAND as the user, in this folder, with a plain
#                                   environment: HOME, USER, LOGNAME, PATH, TMPDIR, and
#                                   THROWAWAY_ENV (NAME=VALUE words) if set

THROWAWAY_USER=corvandel-verifier

throwaway_user_make() { # DIR
    local dir=$1 uid=64321 first=100000 file
    # An id and a range of subordinate ids no one on this machine has.
    while getent passwd "$uid" >/dev/null || getent group "$uid" >/dev/null; do uid=$((uid + 1)); done
    for file in /etc/subuid /etc/subgid; do
        first=$(awk -F: -v first="$first" '$2 + $3 > first { first = $2 + $3 } END { print first }' "$file" 2>/dev/null || echo "$first")
    done
    THROWAWAY_UID=$uid THROWAWAY_DIR=$dir THROWAWAY_HOME=$dir/home
    mkdir -p "$dir/etc" "$dir/home" "$dir/tmp"
    for file in passwd group subuid subgid; do cat "/etc/$file" >"$dir/etc/$file" 2>/dev/null || : >"$dir/etc/$file"; done
    echo "$THROWAWAY_USER:x:$uid:$uid:throwaway test user:$dir/home:/bin/bash" >>"$dir/etc/passwd"
    echo "$THROWAWAY_USER:x:$uid:" >>"$dir/etc/group"
    echo "$THROWAWAY_USER:$first:65536" >>"$dir/etc/subuid"
    echo "$THROWAWAY_USER:$first:65536" >>"$dir/etc/subgid"
    chown "$uid:$uid" "$dir/home" "$dir/tmp"
    chmod 0755 "$dir" "$dir/home"
}

as_throwaway_user() { # COMMAND...
    local environment=()
    # shellcheck disable=SC2206 # NAME=VALUE words, split on purpose
    [ -z "${THROWAWAY_ENV:-}" ] || environment=($THROWAWAY_ENV)
    # shellcheck disable=SC2016 # expanded by the shell in the namespace
    unshare --mount --propagation private sh -c '
        for file in passwd group subuid subgid; do mount --bind "$1/etc/$file" "/etc/$file" || exit 125; done
        shift
        exec "$@"' _ "$THROWAWAY_DIR" \
        setpriv --reuid="$THROWAWAY_UID" --regid="$THROWAWAY_UID" --clear-groups \
        env -i HOME="$THROWAWAY_HOME" USER="$THROWAWAY_USER" LOGNAME="$THROWAWAY_USER" \
        PATH=/usr/local/bin:/usr/bin:/bin TMPDIR="$THROWAWAY_DIR/tmp" LC_ALL=C.UTF-8 "${environment[@]}" "$@"
}
