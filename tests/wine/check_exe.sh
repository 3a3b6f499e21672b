#!/usr/bin/env bash
# The shape of the released exe: PE32 for i386, GUI subsystem, ASLR and NX,
# no more than 16 KiB, whole (the headers, every section's data and a
# signature lie inside the file: a copy cut short fails), and an import table
# naming only DLLs the system always loads from its own folder (a DLL outside
# that list could be planted beside the exe). Given the x86-64 objdump, the
# same of the x86-64 twin (PE32+). Read from the PE headers themselves by the
# release reader (scripts/lib/release_reader.py), not from a tool's view of them.
#   check_exe.sh OBJDUMP EXE
set -euo pipefail
objdump=$1
exe=$2
case ${objdump##*/} in
    x86_64-*) machine=x86-64 ;;
    *) machine=i386 ;;
esac
# The program's own three must be among its imports: an import table without them is not the program's.
exec /usr/bin/python3 -E -s "$(dirname "$0")/../../scripts/lib/release_reader.py" exe "$exe" --machine "$machine" --budget 16384 \
    --allowed KERNEL32.DLL --allowed ADVAPI32.DLL --allowed USER32.DLL --allowed MSVCRT.DLL \
    --required KERNEL32.DLL --required ADVAPI32.DLL --required USER32.DLL
