#!/bin/sh
# Stack benchmark: six films through the simulator into one working node, then
# the same stack with a second node that never answers (see bench_stack.cpp).
# Prints both times and their ratio (target <= 1.1). Takes under a minute.
#   bench/stack_bench.sh [ROUNDS]
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
build=${SKIASCAN_BUILD_DIR:-$top/build}
exec "$build/bench/bench_stack" "$build/bin/SCANFILE.EXE" "${1:-1}"
