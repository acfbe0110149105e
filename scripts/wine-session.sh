# Sourced by the scripts that run Windows programs under Wine (test.sh, screenshots.sh).
#   start_wine_session TREE DISPLAY   e.g. start_wine_session "$ROOT/build/win64" :95
#   stop_wine_session
# Uses the tree's own runner (TREE/wine-run.sh, which knows the tree's architecture and loader):
# starts Xvfb on DISPLAY, creates the tree's prefix (TREE/wineprefix) once, imports
# cmake/wine-ci.reg and starts a persistent server detached from every pipe, so that Wine's own
# services never hold a reader's output open. stop_wine_session (also run when the calling script
# exits) stops both. Every step that fails says which and what Wine printed, and the function
# returns non-zero. Needs ROOT (the repository) set by the caller. Wine's output of the set-up
# goes to TREE/wine-session.log.
WINE_SESSION_XVFB=""
stop_wine_session() {
    if [ -n "${WINEPREFIX:-}" ]; then
        wineserver -k >/dev/null 2>&1 || true
        wineserver -w >/dev/null 2>&1 || true
    fi
    if [ -n "$WINE_SESSION_XVFB" ]; then
        kill "$WINE_SESSION_XVFB" 2>/dev/null || true
        wait "$WINE_SESSION_XVFB" 2>/dev/null || true
        WINE_SESSION_XVFB=""
    fi
}
wine_session_fail() {
    echo "wine session ($WINE_SESSION_TREE): $1" >&2
    if [ -s "$WINE_SESSION_LOG" ]; then
        echo "--- last lines of $WINE_SESSION_LOG:" >&2
        tail -n 15 "$WINE_SESSION_LOG" >&2
    fi
    stop_wine_session
    return 1
}
# wine_session_step SECONDS WHAT COMMAND...: runs one set-up step, its output into the log.
wine_session_step() {
    secs=$1; what=$2; shift 2
    echo "--- $what" >>"$WINE_SESSION_LOG"
    rc=0
    timeout "$secs" "$@" </dev/null >>"$WINE_SESSION_LOG" 2>&1 || rc=$?
    [ $rc -eq 0 ] || { wine_session_fail "$what failed (exit $rc)"; return 1; }
}
start_wine_session() {
    WINE_SESSION_TREE=$1
    WINE_SESSION_LOG="$1/wine-session.log"
    run="$1/wine-run.sh"
    : >"$WINE_SESSION_LOG"
    [ -x "$run" ] || { wine_session_fail "no Wine runner $run (configure the tree first)"; return 1; }
    export WINEPREFIX="$1/wineprefix" WINE_TEST_PREFIX="$1/wineprefix"
    export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
    # The runner sets the architecture and the loader; the server and regedit need the same.
    WINEARCH=$(sed -n 's/.*WINEARCH=\([a-z0-9]*\).*/\1/p' "$run" | head -n 1)
    export WINEARCH
    Xvfb "$2" -screen 0 1024x768x24 -nolisten tcp >>"$WINE_SESSION_LOG" 2>&1 &
    WINE_SESSION_XVFB=$!
    trap stop_wine_session EXIT
    i=0
    while [ $i -lt 50 ] && ! xdpyinfo -display "$2" >/dev/null 2>&1; do sleep 0.1; i=$((i + 1)); done
    xdpyinfo -display "$2" >/dev/null 2>&1 || { wine_session_fail "Xvfb did not start on display $2"; return 1; }
    export DISPLAY="$2"
    # The loader itself first: a machine that cannot run it fails here with the reason.
    wine_session_step 60 "starting the Wine loader of $WINEARCH ($run --version)" "$run" --version || return 1
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        wine_session_step 300 "creating the $WINEARCH prefix $WINEPREFIX (wineboot -i)" "$run" wineboot -i || return 1
        # The settings go in before the first server ends. Imported only later, in the session's
        # own start, a new prefix's first session ran with a notification area that did not
        # answer Shell_NotifyIcon within seconds (the tray tests failed until the next session);
        # the desktop process that owns it had started under the prefix's defaults.
        wine_session_step 60 "importing cmake/wine-ci.reg into the new prefix" "$run" regedit /S "$ROOT/cmake/wine-ci.reg" || return 1
        wine_session_step 120 "waiting for the prefix's first server to end" wineserver -w || return 1
        [ -f "$WINEPREFIX/system.reg" ] || { wine_session_fail "wineboot made no prefix in $WINEPREFIX"; return 1; }
    fi
    wine_session_step 30 "starting the persistent server" wineserver -p || return 1
    wine_session_step 60 "importing cmake/wine-ci.reg" "$run" regedit /S "$ROOT/cmake/wine-ci.reg" || return 1
    wine_session_step 60 "warming up the server (cmd /c exit)" "$run" cmd /c exit || return 1
}
