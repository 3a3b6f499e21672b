#!/usr/bin/env bash
# The shape of the released exe: PE32 for i386, GUI subsystem, ASLR and NX,
# no more than 16 KiB, whole (the headers, every section's data and a
# signature lie inside the file: a copy cut short fails), and an import table
# naming only DLLs the system always loads from its own folder (a DLL outside
# that list could be planted beside the exe). Given the x86-64 objdump, the
# same of the x86-64 twin (PE32+).
#   check_exe.sh OBJDUMP EXE
set -euo pipefail
objdump=$1
exe=$2
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

size=$(stat -c %s "$exe")
[ "$size" -le 16384 ] || fail "$size bytes, more than the 16384-byte budget"

# Whole: read from the PE headers themselves, not from a tool's view of them.
number() { od -An -tu"$2" -j"$1" -N"$2" "$exe" 2>/dev/null | tr -d ' '; } # OFFSET BYTES
pe=$(number 60 4)
if [ -z "$pe" ] || [ $((pe + 24)) -gt "$size" ]; then
    fail "cut short: its PE header lies past its end ($size bytes)"
else
    sections=$(number $((pe + 6)) 2) optional_size=$(number $((pe + 20)) 2)
    optional=$((pe + 24))
    [ "$(number "$optional" 2)" = 523 ] && directories=$((optional + 112)) || directories=$((optional + 96)) # PE32+ : PE32
    [ "${sections:-0}" -le 96 ] || { fail "not a PE image: its header says $sections sections"; sections=0; }
    headers_end=$(number $((optional + 60)) 4)
    [ "${headers_end:-0}" -le "$size" ] || fail "cut short: its headers end at $headers_end, past its end ($size bytes)"
    for ((i = 0; i < ${sections:-0}; i++)); do
        entry=$((optional + optional_size + 40 * i))
        raw_size=$(number $((entry + 16)) 4) raw_at=$(number $((entry + 20)) 4)
        [ $((${raw_at:-0} + ${raw_size:-0})) -le "$size" ] ||
            fail "cut short: section $((i + 1)) of $sections ends at $((raw_at + raw_size)), past its end ($size bytes)"
    done
    # The certificate table's file offset and size (data directory 4), when signed.
    certificates_at=$(number $((directories + 32)) 4) certificates_size=$(number $((directories + 36)) 4)
    [ $((${certificates_at:-0} + ${certificates_size:-0})) -le "$size" ] ||
        fail "cut short: its signature ends at $((certificates_at + certificates_size)), past its end ($size bytes)"
fi

case ${objdump##*/} in
    x86_64-*) format=pei-x86-64 image="PE32+ x86-64" ;;
    *) format=pei-i386 image="PE32 i386" ;;
esac
headers=$("$objdump" -p "$exe" 2>/dev/null) || fail "$objdump cannot read it"
grep -q "file format $format\$" <<<"$headers" || fail "not a $image image"
grep -qE '^Subsystem[[:space:]]+00000002' <<<"$headers" || fail "not a Windows GUI program"
flags=$(awk '/^DllCharacteristics/ {print $2}' <<<"$headers")
# IMAGE_DLLCHARACTERISTICS_DYNAMIC_BASE (ASLR) and NX_COMPAT (DEP).
[ $((16#${flags:-0} & 0x140)) -eq $((0x140)) ] || fail "no ASLR/DEP flags (DllCharacteristics ${flags:-missing})"

imports=$(sed -n 's/^[[:space:]]*DLL Name: //p' <<<"$headers" | tr '[:lower:]' '[:upper:]' | sort -u)
for dll in $imports; do
    case $dll in
        KERNEL32.DLL | ADVAPI32.DLL | USER32.DLL | MSVCRT.DLL) ;;
        *) fail "imports $dll, which is not a known DLL" ;;
    esac
done
# The program's own three: an import table without them is not the program's.
for dll in KERNEL32.DLL ADVAPI32.DLL USER32.DLL; do
    grep -qx "$dll" <<<"$imports" || fail "imports nothing from $dll: not the program's import table"
done

echo "CorvandelUpdate.exe: $size bytes; imports: ${imports//$'\n'/ }"
[ $failures -eq 0 ]
