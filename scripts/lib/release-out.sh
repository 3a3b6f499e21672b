# shellcheck shell=bash
# OUT_DIR, where scripts/package writes a release: whole or not at all. The
# release is assembled in a folder beside OUT_DIR, on the same file system,
# and renamed into place in one step; a refusal, a full disk or an
# interruption before that leaves OUT_DIR absent or exactly as it was. It is
# never written over. Source it after package's stop is defined; then:
#   out_check OUT_ARG          stops (exit 2) unless OUT_ARG may become the release: a folder that
#                              is absent, or empty, and is not a symbolic link (a link would send
#                              the release wherever it points). Sets out, its full path
#   out_write FROM NAME...     FROM's files NAME..., as they are, become OUT_DIR at once; stops
#                              when OUT_DIR was filled meanwhile. Folders made above OUT_DIR for it
#                              are removed again if it cannot be written

out_check() { # OUT_ARG
    local arg=$1
    [ -n "$arg" ] || stop "OUT_DIR is empty; $USAGE"
    is_plain_text "$arg" || stop "OUT_DIR $(shown "$arg"): a name with a control character in it"
    # The name as given, before anything resolves it: a trailing / would follow a link.
    while [[ $arg == */ && $arg != / ]]; do arg=${arg%/}; done
    [ ! -L "$arg" ] || stop "OUT_DIR $1 is a symbolic link (to $(shown "$(readlink -- "$arg")")); name the folder itself"
    out=$(realpath -m -- "$arg")
    if [ -e "$out" ]; then
        [ -d "$out" ] || stop "OUT_DIR $1 exists and is not a folder; it is left as it is"
        [ -z "$(ls -A -- "$out")" ] || stop "OUT_DIR $1 is not empty; packaging never writes over existing files"
    fi
}

# shellcheck disable=SC2154 # out_arg: set by the script that sources this
out_write() { # FROM NAME...
    local from=$1 parent made='' partial name
    shift
    parent=$(dirname -- "$out")
    # The folders above OUT_DIR that do not exist yet, made now and removed again on failure.
    if [ ! -d "$parent" ]; then
        made=$parent
        while [ ! -d "$(dirname -- "$made")" ]; do made=$(dirname -- "$made"); done
        mkdir -p -- "$parent" || stop "could not make $parent for OUT_DIR"
        leaves_behind "$made"
    fi
    partial=$(mktemp -d "$parent/.${out##*/}.partial.XXXXXX") || { out_undo "$made"; stop "could not write in $parent"; }
    leaves_behind "$partial"
    for name in "$@"; do
        cp -p -- "$from/$name" "$partial/$name" || { out_undo "$made" "$partial"; stop "could not write $name into $parent (a full disk?); OUT_DIR left as it was"; }
    done
    sync -f "$partial" 2>/dev/null || true
    if [ -d "$out" ]; then chmod --reference="$out" "$partial"; else chmod "$(printf '%o' $((0777 & ~$(umask))))" "$partial"; fi
    # rename(2) replaces an empty folder, and refuses one that is not empty.
    committing
    mv -T -- "$partial" "$out" 2>/dev/null || {
        out_undo "$made" "$partial"
        stop "OUT_DIR $out_arg is no longer empty; nothing was written"
    }
}

# Only empty folders go: whatever else came into them meanwhile stays.
out_undo() { # MADE [PARTIAL]
    local dir
    [ -z "${2:-}" ] || rm -rf -- "$2"
    [ -n "$1" ] || return 0
    dir=$(dirname -- "$out")
    while rmdir -- "$dir" 2>/dev/null && [ "$dir" != "$1" ]; do dir=$(dirname -- "$dir"); done
}
