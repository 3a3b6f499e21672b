#!/usr/bin/env bash
# A Wine session's stop ends its wineserver before it returns, and removes the
# server's folder, which Wine keeps in /tmp by the inode of the prefix's
# folder: a prefix made next may be given that inode, and must meet no server
# of this one, nor its folder.
#   session_stop_test.sh TEMPLATE_DIR      (a 64-bit prefix, which boots on every machine)
set -uo pipefail
session=$(realpath "$(dirname "$0")/../../scripts/lib/wine-session")
dir=$(mktemp -d "${TMPDIR:-/tmp}/corvandel-session-stop.XXXXXX")
trap '"$session" stop "$dir" >/dev/null 2>&1; rm -rf "$dir"' EXIT
"$session" start "$dir" win64 "$1" >"$dir/start.log" 2>&1 ||
    { echo "FAIL: the session did not start: $(tail -n1 "$dir/start.log")"; exit 1; }
prefix=$dir/wineprefix
key=$(printf 'server-%x-%x' "$((16#$(stat -c %D "$prefix")))" "$(stat -c %i "$prefix")")
server=$(cat "$dir/wine-session/wineserver.pid")
failed=0
check() { if "${@:2}"; then echo "ok: $1"; else echo "FAIL: $1"; failed=$((failed + 1)); fi; }
check "while it runs, its server's folder is /tmp/wine-*/$key" bash -c "compgen -G '/tmp/wine-*/$key' >/dev/null"
"$session" stop "$dir"
# A process of the prefix has it in its environment; an ended one not reaped yet has none.
left=$(grep -l -a -F "=$prefix" /proc/[0-9]*/environ 2>/dev/null | cut -d/ -f3 | tr '\n' ' ')
check "after the stop, no process of the prefix is left, its wineserver ($server) neither${left:+; left: $left}" test -z "$left"
check "after the stop, its server's folder is gone" bash -c "! compgen -G '/tmp/wine-*/$key' >/dev/null"
exit "$failed"
