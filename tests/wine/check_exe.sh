#!/usr/bin/env bash
# The shape of the released exe: PE32 for i386, GUI subsystem, ASLR and NX,
# no more than 16 KiB, and an import table naming only DLLs the system always
# loads from its own folder (a DLL outside that list could be planted beside
# the exe). Given the x86-64 objdump, the same of the x86-64 twin (PE32+).
#   check_exe.sh OBJDUMP EXE
set -euo pipefail
objdump=$1
exe=$2
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

case ${objdump##*/} in
    x86_64-*) format=pei-x86-64 image="PE32+ x86-64" ;;
    *) format=pei-i386 image="PE32 i386" ;;
esac
headers=$("$objdump" -p "$exe")
grep -q "file format $format\$" <<<"$headers" || fail "not a $image image"
grep -qE '^Subsystem[[:space:]]+00000002' <<<"$headers" || fail "not a Windows GUI program"
flags=$(awk '/^DllCharacteristics/ {print $2}' <<<"$headers")
# IMAGE_DLLCHARACTERISTICS_DYNAMIC_BASE (ASLR) and NX_COMPAT (DEP).
[ $((16#${flags:-0} & 0x140)) -eq $((0x140)) ] || fail "no ASLR/DEP flags (DllCharacteristics ${flags:-missing})"

size=$(stat -c %s "$exe")
[ "$size" -le 16384 ] || fail "$size bytes, more than the 16384-byte budget"

imports=$(sed -n 's/^[[:space:]]*DLL Name: //p' <<<"$headers" | tr '[:lower:]' '[:upper:]' | sort -u)
for dll in $imports; do
    case $dll in
        KERNEL32.DLL | ADVAPI32.DLL | USER32.DLL | MSVCRT.DLL) ;;
        *) fail "imports $dll, which is not a known DLL" ;;
    esac
done

echo "CorvandelUpdate.exe: $size bytes; imports: $(echo $imports)"
[ $failures -eq 0 ]
