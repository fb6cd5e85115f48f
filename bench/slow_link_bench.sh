#!/bin/sh
# Slow link benchmark: a 2 MB film to one node behind a 40 KB/s link, which must
# arrive in one transfer (see bench_slow_link.cpp). Takes about a minute.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
build=${SKIASCAN_BUILD_DIR:-$top/build}
exec "$build/bench/bench_slow_link" "$build/bin/SCANFILE.EXE"
