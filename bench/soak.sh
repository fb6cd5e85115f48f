#!/bin/sh
# Soak run: 300 films in stacks of six through the real scan flow into two
# nodes, one of them going down and coming back twice (see bench_soak.cpp).
# Takes several minutes: each film of a stack waits for a second of its own.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
build=${SKIASCAN_BUILD_DIR:-$top/build}
exec "$build/bench/bench_soak" "$build/bin/SCANFILE.EXE" "${1:-50}"
