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

export WINEPREFIX="$BUILD/wineprefix" WINEARCH=win32 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
N=${1:-}
if [ -z "$N" ]; then
    N=90
    while [ -e "/tmp/.X$N-lock" ]; do N=$((N + 1)); done
fi
Xvfb ":$N" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
XVFB=$!
i=0
while [ $i -lt 50 ] && ! xdpyinfo -display ":$N" >/dev/null 2>&1; do sleep 0.1; i=$((i + 1)); done
export DISPLAY=":$N"
trap 'wineserver -k >/dev/null 2>&1; wineserver -w >/dev/null 2>&1; kill $XVFB 2>/dev/null' EXIT

# The same prefix recipe as the test command: a persistent server detached from every pipe.
if [ ! -f "$WINEPREFIX/system.reg" ]; then
    timeout 300 wineboot -i </dev/null >/dev/null 2>&1 || true
    timeout 120 wineserver -w || true
fi
wineserver -p </dev/null >/dev/null 2>&1
timeout 60 wine regedit /S "$ROOT/cmake/wine-ci.reg" </dev/null >/dev/null 2>&1 || true
timeout 60 wine cmd /c exit </dev/null >/dev/null 2>&1 || true

mkdir -p "$ROOT/docs/screenshots"
TG_SCREENSHOT_DIR="$ROOT/docs/screenshots" timeout 120 wine "$BUILD/tests/ui/shell/shell_tests.exe" \
    --gtest_filter='Screenshots.*' </dev/null
ls -l "$ROOT/docs/screenshots"
