# Sourced by the scripts that run Windows programs under Wine (test.sh, screenshots.sh).
#   start_wine_session PREFIX DISPLAY   e.g. start_wine_session "$BUILD/wineprefix" :95
# Exports the Wine settings, starts Xvfb on DISPLAY, creates the 32-bit prefix once, imports
# cmake/wine-ci.reg and starts a persistent server detached from every pipe, so that Wine's own
# services never hold a reader's output open. Both are stopped when the calling script exits.
# Needs ROOT (the repository) set by the caller.
start_wine_session() {
    export WINEPREFIX="$1" WINE_TEST_PREFIX="$1"
    export WINEARCH=win32 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
    Xvfb "$2" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
    WINE_SESSION_XVFB=$!
    i=0
    while [ $i -lt 50 ] && ! xdpyinfo -display "$2" >/dev/null 2>&1; do sleep 0.1; i=$((i + 1)); done
    export DISPLAY="$2"
    trap 'wineserver -k >/dev/null 2>&1; wineserver -w >/dev/null 2>&1; kill $WINE_SESSION_XVFB 2>/dev/null' EXIT
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        timeout 300 wineboot -i </dev/null >/dev/null 2>&1 || true
        timeout 120 wineserver -w || true
    fi
    wineserver -p </dev/null >/dev/null 2>&1
    timeout 60 wine regedit /S "$ROOT/cmake/wine-ci.reg" </dev/null >/dev/null 2>&1 || true
    timeout 60 wine cmd /c exit </dev/null >/dev/null 2>&1 || true
}
