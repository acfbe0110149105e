#!/bin/sh
# endpoint-upload.sh TEST-COMMAND...: starts the receiving endpoint script on a free loopback
# port with a fresh store folder (limit 64 KiB), checks what it refuses, then runs the agent's
# EndpointUpload test against it (which must run, not skip) and stops the script.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
store=$(mktemp -d)
python3 "$here/../../scripts/crash-endpoint.py" --port 0 --store "$store/reports" --max-bytes 65536 \
    >"$store/endpoint.out" 2>/dev/null &
pid=$!
trap 'kill $pid 2>/dev/null || true; wait $pid 2>/dev/null || true; rm -rf "$store"' EXIT
i=0
while [ $i -lt 100 ] && ! grep -q '^listening on' "$store/endpoint.out"; do sleep 0.1; i=$((i + 1)); done
port=$(sed -n 's/^listening on 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$store/endpoint.out")
[ -n "$port" ] || { echo "the endpoint script did not start"; exit 1; }

url=http://127.0.0.1:$port/cgi-bin/crash_upload.cgi
head -c 70000 /dev/zero >"$store/big"
expect() { # STATUS CURL-ARGS...: the endpoint answers the request with STATUS
    want=$1; shift
    got=$(curl -s -m 10 -o /dev/null -w '%{http_code}' "$@")
    [ "$got" = "$want" ] || { echo "curl $*: $got, expected $want"; exit 1; }
}
expect 413 -F file=@"$store/big" -F app=Tollgate "$url"
expect 400 -F app=Tollgate "$url"
expect 400 -H 'Content-Type: multipart/form-data; boundary=x' --data-binary 'no parts' "$url"
expect 404 -F file=@"$store/big" "http://127.0.0.1:$port/other"
[ -z "$(find "$store/reports" -name '*.report' 2>/dev/null)" ] || { echo "a refused request was stored"; exit 1; }

out=$(TG_TEST_ENDPOINT_PORT=$port TG_TEST_ENDPOINT_STORE="$store/reports" \
      "$@" --gtest_filter='EndpointUpload.*' </dev/null 2>&1) || { echo "$out"; exit 1; }
echo "$out"
echo "$out" | grep -q '^\[  PASSED  \] 1 test' || { echo "the upload test did not run"; exit 1; }
! echo "$out" | grep -q 'SKIPPED' || { echo "the upload test was skipped"; exit 1; }
