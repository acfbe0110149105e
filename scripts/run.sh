#!/bin/sh
# Builds the headless proxy natively (installing what is missing) and runs it in the foreground.
set -eu
cd "$(dirname "$0")/.."
./scripts/install-deps.sh --native
cmake -S . -B build/native -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/native --target tollgated -j"$(nproc)" >/dev/null
exec build/native/tollgated "$@"
