#!/bin/sh
# build-msi.sh OUT.msi TOLLGATE.EXE DUMPSEND.DLL TGSETUP.DLL [x86|x64]: builds the installation
# package from setup/Tollgate.wxs with wixl. The shipped package is x86 (the default); the 64-bit
# test tree builds the same source as an x64 package of its own 64-bit files, installed into the
# 64-bit program folder. The version comes from the project's one version (CMakeLists.txt);
# the product code is derived from it, so every build of one version has the same product code.
set -eu
[ $# -eq 4 ] || [ $# -eq 5 ] || { echo "usage: $0 OUT.msi TOLLGATE.EXE DUMPSEND.DLL TGSETUP.DLL [x86|x64]" >&2; exit 2; }
root=$(cd "$(dirname "$0")/.." && pwd)
out=$1; program=$2; agent=$3; tgsetup=$4; arch=${5:-x86}
case $arch in
x86) programs=ProgramFilesFolder ;;
x64) programs=ProgramFiles64Folder ;;
*) echo "$0: unknown architecture $arch (x86 or x64)" >&2; exit 2 ;;
esac
for f in "$program" "$agent" "$tgsetup"; do
    [ -f "$f" ] || { echo "$0: missing $f" >&2; exit 1; }
done
version=$(sed -n 's/^project(Tollgate VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")
[ -n "$version" ] || { echo "$0: no version in CMakeLists.txt" >&2; exit 1; }
# Name-based (version 5) UUID of the version in the product's own namespace.
code=$(python3 -c 'import sys, uuid; print(str(uuid.uuid5(uuid.UUID("B0C57D57-0F01-4FC9-A658-AD0CB1E13B02"), "Tollgate " + sys.argv[1])).upper())' "$version")
# wixl takes source files relative to the working folder only: the package is put together in a
# staging folder holding the three files under their installed names.
stage=$(mktemp -d "${TMPDIR:-/tmp}/tollgate-msi.XXXXXX")
trap 'rm -rf "$stage"' EXIT
cp "$program" "$stage/Tollgate.exe"
cp "$agent" "$stage/dumpsend.dll"
cp "$tgsetup" "$stage/tgsetup.dll"
sed -e "s|@VERSION@|$version|" -e "s|@PRODUCT_CODE@|$code|" -e "s|@PROGRAM_FILES@|$programs|" "$root/setup/Tollgate.wxs" >"$stage/Tollgate.wxs"
case $out in /*) ;; *) out=$(pwd)/$out ;; esac
(cd "$stage" && wixl -a "$arch" -o "$out" Tollgate.wxs)
echo "$out: Tollgate $version ($arch), product code {$code}"
