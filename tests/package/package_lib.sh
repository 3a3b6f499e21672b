# What the packaging tests share. Source it from the project's root.
#   work                 a folder of the test's own, removed at exit
#   check WHAT COMMAND...  counts COMMAND's success; on failure prints "FAIL: WHAT"
#   has_line FILE LINE, output_into FILE COMMAND...
#   make_kit DIR ENTRY...  a kit from the component fixtures (below)
#   BASE, GOOD           the entries of a plain kit, and of a good kit in odd case with one component padded
#   package NAME ARGS...   runs scripts/package; its output in $work/NAME.out and .err, its exit in $status
#   record_arguments BIN LOG TOOL...  shims in BIN that log every argument TOOL is given to LOG
#   report               prints "N passed, N failed" and fails if any did
fixtures=build/windows/fixtures
work=$(realpath "$(mktemp -d "${TMPDIR:-/tmp}/corvandel-package-test.XXXXXX")")
trap 'rm -rf "$work"' EXIT
passed=0 failed=0
check() { # WHAT COMMAND...
    if "${@:2}"; then passed=$((passed + 1)); else echo "FAIL: $1"; failed=$((failed + 1)); fi
}
has_line() { grep -qxF -- "$2" "$1"; } # FILE LINE
output_into() { # FILE COMMAND...
    local file=$1
    shift
    "$@" >"$file"
}

# A kit from entries NAME=WHAT: a fixture's name (with + for 400,000 bytes
# more), "notes", "/" for a folder, or "-" for no such entry.
make_kit() { # DIR ENTRY...
    local dir=$1 entry name what
    shift
    mkdir -p "$dir"
    for entry in "$@"; do
        name=${entry%%=*} what=${entry#*=}
        rm -rf "${dir:?}/$name"
        case $what in
            -) ;;
            /) mkdir "$dir/$name" ;;
            notes) printf 'Corvandel patch notes\r\n' >"$dir/$name" ;;
            *+) { cat "$fixtures/${what%+}.dll" && head -c 400000 /dev/zero; } >"$dir/$name" ;;
            *) cp "$fixtures/$what.dll" "$dir/$name" ;;
        esac
    done
}
BASE=(Kestovar.ocx=kestovar-2.5.1.1519 Sorvalen.ocx=sorvalen-2.5.1.1519 QuilbrexPatch.txt=notes)
GOOD=(kestovar.OCX=kestovar-2.5.1.1519+ SORVALEN.OCX=sorvalen-2.5.1.1519 QuilbrexPatch.TXT=notes)

package() { # NAME ARGS...: runs scripts/package, its output in $work/NAME.out and .err
    local name=$1
    shift
    timeout 600 scripts/package "$@" >"$work/$name.out" 2>"$work/$name.err"
    status=$? # 124: still running after 10 minutes, and killed
}

# A secret must never reach a tool's arguments: these shims record them.
record_arguments() { # BIN LOG TOOL...
    local bin=$1 log=$2 tool
    shift 2
    mkdir -p "$bin"
    for tool in "$@"; do
        printf '#!/bin/sh\necho "$0 $*" >>"%s"\nexec %s "$@"\n' "$log" "$(command -v "$tool")" >"$bin/$tool"
        chmod +x "$bin/$tool"
    done
}

report() {
    echo "$passed passed, $failed failed"
    [ "$failed" -eq 0 ]
}
