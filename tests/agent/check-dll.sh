#!/bin/sh
# check-dll.sh DLL: the export table names SubmitCrashReport undecorated, and every imported DLL
# is a system DLL (no libgcc, libstdc++ or winpthread left to find at crash time).
set -eu
dump=$(${OBJDUMP:-i686-w64-mingw32-objdump} -p "$1")
echo "$dump" | grep -E '^[[:space:]]+\[ *[0-9]+\] SubmitCrashReport$' >/dev/null ||
    { echo "SubmitCrashReport is not exported by its plain name"; exit 1; }
imports=$(echo "$dump" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr 'A-Z' 'a-z')
for dll in $imports; do
    case $dll in
    kernel32.dll | ws2_32.dll | msvcrt.dll | advapi32.dll | user32.dll | wsock32.dll) ;;
    *) echo "unexpected import: $dll"; exit 1 ;;
    esac
done
echo "exports SubmitCrashReport; imports: $imports"
