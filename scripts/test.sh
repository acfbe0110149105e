#!/bin/sh
# Installs what is missing, builds every tree and runs every test:
#   build/native  the portable core, its tests and the integration tests (g++)
#   build/asan    the same with AddressSanitizer and UndefinedBehaviorSanitizer
#   build/tsan    the same with ThreadSanitizer
#   build/fuzz    libFuzzer targets (clang), each run for a bounded time over its corpus
#   build/win32   the Windows deliverables (32-bit) and the MSI; their tests run under Wine where
#                 this machine runs 32-bit programs
#   build/win64   the same sources and tests built for 64-bit Windows, run under Wine's 64-bit
#                 loader on every machine
# Each tree is configured by its preset in CMakePresets.json.
set -eu
cd "$(dirname "$0")/.."
ROOT=$(pwd)
JOBS=$(nproc)
./scripts/install-deps.sh
. "$ROOT/scripts/trees.sh"

failed=""
run_ctest() {
    tree=$1; shift
    echo "=== tests: $tree"
    (cd "build/$tree" && ctest --output-on-failure -j"$JOBS" "$@") || failed="$failed $tree"
}

# Whether the win32 tree's tests can run here: some kernels cannot execute 32-bit programs, and
# there Wine's 32-bit loader fails ("Exec format error"). TG_WINE32=0 skips them as if it failed.
wine32_reason=""
if [ "${TG_WINE32:-1}" = 0 ]; then
    wine32_reason="TG_WINE32=0 is set"
elif ! probe=$(/usr/lib/wine/wine --version 2>&1); then
    wine32_reason="this machine cannot run 32-bit programs: $(echo "$probe" | tail -n 1)"
fi
if [ -z "$wine32_reason" ]; then
    echo "Windows tests: win32 and win64 trees (this machine runs 32-bit programs)"
else
    echo "Windows tests: win64 tree only, win32 tree built but not tested ($wine32_reason)"
fi

# Each step says how long it took, so that a slow run shows where its time went.
step_started=$(date +%s)
step_done() {
    now=$(date +%s)
    echo "=== $1: $((now - step_started)) s"
    step_started=$now
}

# The fuzz tree builds only its targets. Where the win32 tree's tests cannot run, it builds only
# the deliverables and the package: its test programs would never be started.
build_tree native; step_done "build native"
build_tree asan; step_done "build asan"
build_tree tsan; step_done "build tsan"
build_tree fuzz session_fuzz http_fuzz; step_done "build fuzz"
if [ -z "$wine32_reason" ]; then
    build_tree win32
else
    build_tree win32 Tollgate dumpsend tgsetup
    if ninja -C build/win32 -t query msi_package >/dev/null 2>&1; then
        cmake --build build/win32 --target msi_package
    fi
fi
step_done "build win32"
build_tree win64; step_done "build win64"

run_ctest native; step_done "tests native"
ASAN_OPTIONS=detect_leaks=1 run_ctest asan; step_done "tests asan"
TSAN_OPTIONS=halt_on_error=1 run_ctest tsan -L unit; step_done "tests tsan"
run_ctest fuzz -L fuzz; step_done "tests fuzz"

# Wine: one prefix per tree, created once, with a persistent server (scripts/wine-session.sh).
# A Wine process now and then fails in its exit after its test has passed (seen twice in many
# runs: a hang until the time-out in a test that loads Wine's msi.dll, and a segmentation fault
# after "[  PASSED  ]" in a test that starts no thread), so a failed test of these trees runs
# once more. A test that fails for a reason of its own fails twice; the native, ASan and TSan
# trees run every test once.
. "$ROOT/scripts/wine-session.sh"
wine_trees="win64"
[ -z "$wine32_reason" ] && wine_trees="win32 win64"
for tree in $wine_trees; do
    if start_wine_session "$ROOT/build/$tree" ":$((90 + $$ % 9))"; then
        run_ctest "$tree" --repeat until-pass:2
        stop_wine_session
        step_done "tests $tree"
    else
        failed="$failed $tree"
    fi
done

if [ -n "$failed" ]; then
    echo "FAILED trees:$failed"
    exit 1
fi
echo "all test trees passed"
