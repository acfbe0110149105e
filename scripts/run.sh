#!/bin/sh
# Builds the headless proxy natively (installing what is missing) and runs it in the foreground.
set -eu
cd "$(dirname "$0")/.."
./scripts/install-deps.sh --native
. ./scripts/trees.sh
build_tree native tollgated >/dev/null
exec build/native/tollgated "$@"
