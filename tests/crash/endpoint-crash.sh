#!/bin/sh
# endpoint-crash.sh TEST-COMMAND...: starts the receiving endpoint script on a free loopback port
# with a fresh store folder, runs the CrashEndpoint test of the crash tests against it, and stops
# the script again. The test must really run, not skip.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
store=$(mktemp -d)
python3 "$here/../../scripts/crash-endpoint.py" --port 0 --store "$store/reports" >"$store/endpoint.out" 2>/dev/null &
pid=$!
trap 'kill $pid 2>/dev/null || true; wait $pid 2>/dev/null || true; rm -rf "$store"' EXIT
i=0
while [ $i -lt 100 ] && ! grep -q '^listening on' "$store/endpoint.out"; do
    sleep 0.1
    i=$((i + 1))
done
port=$(sed -n 's/^listening on 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$store/endpoint.out")
[ -n "$port" ] || { echo "the endpoint script did not start"; exit 1; }
out=$(TG_TEST_ENDPOINT_PORT=$port TG_TEST_ENDPOINT_STORE="$store/reports" \
      "$@" --gtest_filter='CrashEndpoint.*' </dev/null 2>&1) || { echo "$out"; exit 1; }
echo "$out"
echo "$out" | grep -q '^\[  PASSED  \] 1 test' || { echo "the crash upload test did not run"; exit 1; }
echo "$out" | grep -q 'SKIPPED' && { echo "the crash upload test was skipped"; exit 1; }
exit 0
