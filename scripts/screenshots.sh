#!/bin/sh
# Saves pictures of Tollgate.exe's windows (tray menu, both Options pages, the IP range dialog,
# Statistics, About, the start-up window, the crash dialog) into docs/screenshots/, taken under
# Wine on a private X display. The pictures come from the Screenshots tests of shell_tests, which
# the test command also runs (saving into the build tree instead).
#   scripts/screenshots.sh [DISPLAY-NUMBER]      default: a free one from :90 up
set -eu
cd "$(dirname "$0")/.."
ROOT=$(pwd)
BUILD="$ROOT/build/win32"

cmake -S . -B "$BUILD" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-i686.cmake" >/dev/null
cmake --build "$BUILD" -j"$(nproc)" --target shell_tests

N=${1:-}
if [ -z "$N" ]; then
    N=90
    while [ -e "/tmp/.X$N-lock" ]; do N=$((N + 1)); done
fi
. "$ROOT/scripts/wine-session.sh"
start_wine_session "$BUILD/wineprefix" ":$N"

mkdir -p "$ROOT/docs/screenshots"
TG_SCREENSHOT_DIR="$ROOT/docs/screenshots" timeout 120 wine "$BUILD/tests/ui/shell/shell_tests.exe" \
    --gtest_filter='Screenshots.*' </dev/null
ls -l "$ROOT/docs/screenshots"
