#!/bin/sh
# Runs a Windows program of the cross build under Wine, quietly, in the build tree's own prefix.
: "${WINEPREFIX:=${WINE_TEST_PREFIX:?set WINE_TEST_PREFIX}}"
export WINEPREFIX WINEARCH=win32 WINEDEBUG="${WINEDEBUG:--all}" WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
exec wine "$@"
