#!/bin/sh
# check-exports.sh DLL NAME...: the DLL's export table lists exactly the given names, and it
# imports no MinGW run-time DLL (libgcc, libstdc++, libwinpthread).
set -eu
dll=$1; shift
objdump=${OBJDUMP:-i686-w64-mingw32-objdump}
dump=$($objdump -p "$dll")
# The export name table: lines "[ordinal] name" after "[Ordinal/Name Pointer] Table".
names=$(printf '%s\n' "$dump" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | sed -n 's/^[[:space:]]*\[[[:space:]]*[0-9]*\][[:space:]]*//p' | sort)
want=$(printf '%s\n' "$@" | sort)
if [ "$names" != "$want" ]; then
    echo "$dll exports:"; printf '%s\n' "$names"; echo "expected:"; printf '%s\n' "$want"
    exit 1
fi
bad=$(printf '%s\n' "$dump" | sed -n 's/^[[:space:]]*DLL Name: //p' | grep -i -E 'libgcc|libstdc|libwinpthread' || true)
if [ -n "$bad" ]; then
    echo "$dll imports MinGW run-time DLLs: $bad"
    exit 1
fi
echo "$dll exports $* and needs no MinGW DLL"
