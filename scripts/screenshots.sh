#!/bin/sh
# Saves pictures of Tollgate.exe's windows (tray menu, both Options pages, the IP range dialog,
# Statistics, About, the start-up window, the crash dialog) into docs/screenshots/, taken under
# Wine on a private X display. The pictures come from the Screenshots tests of shell_tests, which
# the test command also runs (saving into the build tree instead).
# The pictures are of the 32-bit program; on a machine that cannot run 32-bit programs they are
# taken of the same sources built for 64-bit Windows (build/win64).
#   scripts/screenshots.sh [DISPLAY-NUMBER]      default: a free one from :90 up
set -eu
cd "$(dirname "$0")/.."
ROOT=$(pwd)
TREE=win32
/usr/lib/wine/wine --version >/dev/null 2>&1 || TREE=win64
BUILD="$ROOT/build/$TREE"
echo "screenshots from the $TREE tree"

. "$ROOT/scripts/trees.sh"
build_tree "$TREE" shell_tests

N=${1:-}
if [ -z "$N" ]; then
    N=90
    while [ -e "/tmp/.X$N-lock" ]; do N=$((N + 1)); done
fi
. "$ROOT/scripts/wine-session.sh"
start_wine_session "$BUILD" ":$N"

mkdir -p "$ROOT/docs/screenshots"
TG_SCREENSHOT_DIR="$ROOT/docs/screenshots" timeout 120 "$BUILD/wine-run.sh" "$BUILD/tests/ui/shell/shell_tests.exe" \
    --gtest_filter='Screenshots.*' </dev/null
ls -l "$ROOT/docs/screenshots"
