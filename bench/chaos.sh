#!/bin/sh
# Chaos run: 100 films in stacks through the simulator, Skiascan killed with
# SIGKILL at 30 random moments and started again, one node going down and
# coming back meanwhile (see bench_chaos.cpp). Takes a few minutes.
#   bench/chaos.sh [FILMS] [KILLS]
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
build=${SKIASCAN_BUILD_DIR:-$top/build}
exec "$build/bench/bench_chaos" "$build/bin/SCANFILE.EXE" "${1:-100}" "${2:-30}"
