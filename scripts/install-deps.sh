#!/bin/sh
# Installs every Debian package (--native: only what the Linux build needs) the build and the tests need; skips what is there already.
set -eu

need=""
want() { for p in "$@"; do dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || need="$need $p"; done; }

want cmake ninja-build g++ googletest libgtest-dev python3 curl iproute2 procps
# The Debian package of tollgated: built with dpkg-deb and dpkg-shlibdeps, checked with lintian,
# its manual page with groff and man, its unit with systemd-analyze; util-linux's unshare gives
# the tests a network namespace of their own.
want dpkg-dev lintian groff-base man-db systemd util-linux
# The upload agent's HTTP proxy path is tested through tinyproxy.
want tinyproxy
if [ "${1:-}" != --native ]; then
    want clang libclang-rt-14-dev
    want g++-mingw-w64-i686 g++-mingw-w64-x86-64 wine wine32:i386 wine64 xvfb xauth x11-utils fonts-wine imagemagick wixl
    # The snapshot page is checked in a headless browser, opened from its file.
    want chromium
fi
# The benchmark compares with microsocks and dante, and counts system calls with strace.
if [ "${TOLLGATE_BENCH_PEERS:-0}" = 1 ]; then want microsocks dante-server strace; fi

[ -z "$need" ] && exit 0
if [ "$(id -u)" != 0 ]; then
    echo "missing packages:$need (run as root to install them)" >&2
    exit 1
fi
export DEBIAN_FRONTEND=noninteractive
dpkg --print-foreign-architectures | grep -qx i386 || dpkg --add-architecture i386
apt-get update -qq
# shellcheck disable=SC2086
apt-get install -y -qq --no-install-recommends $need >/dev/null
