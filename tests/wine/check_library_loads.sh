#!/usr/bin/env bash
# Proves, by a relay trace of a real update, that the program restricts its
# library search to the system folder before anything else, and that every
# library it loads itself comes from there. A planted-DLL test cannot do this
# under Wine: Wine's own USER32 loads VERSION whatever the program does.
#   check_library_loads.sh SOURCE_DIR BUILD_DIR OBJDUMP
set -euo pipefail
source_dir=$1
build=$(realpath "$2")
objdump=$3
exe=$build/CorvandelUpdate.exe
fixtures=$build/fixtures
session=$build/wine-session

export WINEPREFIX=$build/wineprefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
export DISPLAY=:$(cat "$session/display")
work=$WINEPREFIX/drive_c/library-load-check
install=$work/Corvandel
downloads=$work/Downloads
log=$session/relay.log
registration='HKLM\Software\Microsoft\Windows\CurrentVersion\App Paths\Quilbrex.exe'
traced="KERNEL32.SetDefaultDllDirectories;KERNEL32.LoadLibraryA;KERNEL32.LoadLibraryW;KERNEL32.LoadLibraryExA;\
KERNEL32.LoadLibraryExW;KERNEL32.GetDiskFreeSpaceA;KERNEL32.CopyFileA;ADVAPI32.RegOpenKeyExA;USER32.LoadStringA;\
USER32.MessageBoxA"

cleanup() {
    timeout 30 wine reg delete 'HKCU\Software\Wine\Debug' /v RelayInclude /f >/dev/null 2>&1 || true
    rm -rf "$work"
}
trap cleanup EXIT

rm -rf "$work"
mkdir -p "$install" "$downloads"
cp "$fixtures/kestovar-2.5.1.1516.dll" "$install/Kestovar.ocx"
cp "$fixtures/sorvalen-2.5.1.1516.dll" "$install/Sorvalen.ocx"
cp "$fixtures/kestovar-2.5.1.1519.dll" "$downloads/Kestovar.ocx"
cp "$fixtures/sorvalen-2.5.1.1519.dll" "$downloads/Sorvalen.ocx"
echo notes >"$downloads/QuilbrexPatch.txt"
cp "$exe" "$downloads/"
timeout 30 wine reg add "$registration" /v Path /t REG_SZ /d 'C:\library-load-check\Corvandel' /f >/dev/null 2>&1
timeout 30 wine reg add 'HKCU\Software\Wine\Debug' /v RelayInclude /d "$traced" /f >/dev/null 2>&1

# Started from the download folder, as a user would.
status=0
(cd "$downloads" && WINEDEBUG=-all,+relay timeout 30 wine CorvandelUpdate.exe >"$log" 2>&1 </dev/null) || status=$?
[ $status -eq 0 ] || { echo "FAIL: the update ended with status $status (124: timed out)"; exit 1; }

# The program's own calls: on its main thread, returning into its image.
size_of_image=$((16#$("$objdump" -p "$exe" | awk '/^SizeOfImage/ {print $2}')))
thread=$(grep -m1 -oE '^[0-9a-f]{4}:Call' "$log" | cut -d: -f1)
own_calls=$(grep -E "^$thread:Call [A-Za-z0-9_]+\.[A-Za-z0-9_]+\(.*\) ret=[0-9a-f]+$" "$log" | while read -r line; do
    ret=$((16#${line##*ret=}))
    if [ $ret -ge $((0x400000)) ] && [ $ret -lt $((0x400000 + size_of_image)) ]; then echo "${line#*:Call }"; fi
done)
echo "The program's own traced calls:"
echo "$own_calls" | sed 's/^/  /'

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
first=$(head -n1 <<<"$own_calls")
[[ $first == "KERNEL32.SetDefaultDllDirectories(00000800)"* ]] ||
    fail "first act is not SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32): $first"
loads=$(grep -E '^KERNEL32\.LoadLibrary' <<<"$own_calls" || true)
[ -n "$loads" ] || fail "the program loaded no library itself; VERSION must come from somewhere"
while read -r load; do
    [ -n "$load" ] || continue
    if [[ $load =~ ,0000[0-9a-f]8[0-9a-f]{2}\) ]] || grep -qiE '"C:\\\\windows\\\\system32\\\\[^"]+"' <<<"$load"; then
        continue
    fi
    fail "library loaded from outside the system folder: $load"
done <<<"$loads"
cmp -s "$install/Kestovar.ocx" "$fixtures/kestovar-2.5.1.1519.dll" || fail "Kestovar.ocx was not updated"
cmp -s "$install/Sorvalen.ocx" "$fixtures/sorvalen-2.5.1.1519.dll" || fail "Sorvalen.ocx was not updated"
cmp -s "$install/Kestovar.old" "$fixtures/kestovar-2.5.1.1516.dll" || fail "Kestovar.old is not the old file"
[ -f "$install/QuilbrexPatch.txt" ] || fail "the notes were not copied"
[ $failures -eq 0 ]
