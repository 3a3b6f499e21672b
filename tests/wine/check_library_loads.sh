#!/usr/bin/env bash
# Proves, by a relay trace of a real update, that the program restricts its
# library search to the system folder before anything else, and that every
# library it loads itself comes from there. A planted-DLL test cannot do this
# under Wine: Wine's own USER32 loads VERSION whatever the program does.
#   check_library_loads.sh BUILD_DIR SESSION_DIR OBJDUMP
# BUILD_DIR holds the exe and the fixtures; SESSION_DIR the started Wine
# session (scripts/lib/wine-session) to run them on.
set -euo pipefail
source "$(dirname "$0")/../../scripts/lib/wine-host.sh"
source "$(dirname "$0")/../../scripts/lib/plan.sh"
build=$(realpath "$1")
session_dir=$(realpath "$2")
objdump=$3
exe=$build/CorvandelUpdate.exe
fixtures=$build/fixtures
session=$session_dir/wine-session

# Registered where the exe looks: a 32-bit program reads the 32-bit view.
view=64
if pe_is_32bit "$exe"; then
    view=32
    wine_runs_32bit || { echo "skipped: CorvandelUpdate.exe is a 32-bit program, and $WINE_NO_32BIT"; exit 77; }
fi
wine_use_prefix "$session_dir/wineprefix"
DISPLAY=:$(cat "$session/display")
export DISPLAY
work=$WINEPREFIX/drive_c/library-load-check
install=$work/Corvandel
downloads=$work/Downloads
log=$session/relay.log
traced="KERNEL32.SetDefaultDllDirectories;KERNEL32.LoadLibraryA;KERNEL32.LoadLibraryW;KERNEL32.LoadLibraryExA;\
KERNEL32.LoadLibraryExW;KERNEL32.GetDiskFreeSpaceA;KERNEL32.CopyFileA;ADVAPI32.RegOpenKeyExA;USER32.LoadStringA;\
USER32.MessageBoxA"

cleanup() {
    wine_bounded "$WINE_RUN_SECONDS" "reg delete" "$WINE" reg delete 'HKCU\Software\Wine\Debug' /v RelayInclude /f >/dev/null 2>&1 || true
    rm -rf "$work"
}
trap cleanup EXIT

rm -rf "$work"
mkdir -p "$install" "$downloads"
for name in "${PLAN_COMPONENTS[@]}"; do
    cp "$fixtures/$(plan_fixture "$name" outdated).dll" "$install/$name"
    cp "$fixtures/$(plan_fixture "$name" updated).dll" "$downloads/$name"
done
echo notes >"$downloads/$PLAN_NOTES"
cp "$exe" "$downloads/"
wine_bounded "$WINE_RUN_SECONDS" "reg add" "$WINE" reg add "$PLAN_REGISTRATION" /v "$PLAN_FOLDER_VALUE" /t REG_SZ /d 'C:\library-load-check\Corvandel' /f \
    "/reg:$view" >/dev/null 2>&1
wine_bounded "$WINE_RUN_SECONDS" "reg add" "$WINE" reg add 'HKCU\Software\Wine\Debug' /v RelayInclude /d "$traced" /f >/dev/null 2>&1

# Started from the download folder, as a user would.
status=0
(cd "$downloads" && WINEDEBUG=-all,+relay wine_bounded "$WINE_RUN_SECONDS" "the traced update" "$WINE" CorvandelUpdate.exe >"$log" 2>&1 </dev/null) || status=$?
[ $status -eq 0 ] || { echo "FAIL: the update ended with status $status (124: timed out after $WINE_RUN_SECONDS s)"; exit 1; }

# The program's own calls: those returning into its image, on the thread of
# the first one (under WOW64 the 64-bit loader's own calls come first).
image_base=$((16#$("$objdump" -p "$exe" | awk '/^ImageBase/ {print $2}')))
size_of_image=$((16#$("$objdump" -p "$exe" | awk '/^SizeOfImage/ {print $2}')))
own_calls=$(grep -E '^[0-9a-f]{4}:Call [A-Za-z0-9_]+\.[A-Za-z0-9_]+\(.*\) ret=[0-9a-f]+$' "$log" | while read -r line; do
    ret=$((16#${line##*ret=}))
    if [ $ret -ge $image_base ] && [ $ret -lt $((image_base + size_of_image)) ]; then echo "$line"; fi
done)
thread=$(head -n1 <<<"$own_calls" | cut -d: -f1)
own_calls=$(grep "^$thread:Call " <<<"$own_calls" | sed 's/^[0-9a-f]*:Call //' || true)
echo "The program's own traced calls:"
printf '  %s\n' "$own_calls"

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
first=$(head -n1 <<<"$own_calls")
[[ $first =~ ^KERNEL32\.SetDefaultDllDirectories\(0*800\) ]] ||
    fail "first act is not SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32): $first"
loads=$(grep -E '^KERNEL32\.LoadLibrary' <<<"$own_calls" || true)
[ -n "$loads" ] || fail "the program loaded no library itself; VERSION must come from somewhere"
while read -r load; do
    [ -n "$load" ] || continue
    if [[ $load =~ ,0*[0-9a-f]?8[0-9a-f]{2}\) ]] || grep -qiE '"C:\\\\windows\\\\system32\\\\[^"]+"' <<<"$load"; then
        continue
    fi
    fail "library loaded from outside the system folder: $load"
done <<<"$loads"
for name in "${PLAN_COMPONENTS[@]}"; do
    cmp -s "$install/$name" "$fixtures/$(plan_fixture "$name" updated).dll" || fail "$name was not updated"
    cmp -s "$install/${PLAN_BACKUP[$name]}" "$fixtures/$(plan_fixture "$name" outdated).dll" ||
        fail "${PLAN_BACKUP[$name]} is not the old file"
done
[ -f "$install/$PLAN_NOTES" ] || fail "the notes were not copied"
[ $failures -eq 0 ]
