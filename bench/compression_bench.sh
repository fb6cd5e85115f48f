#!/bin/sh
# Compression benchmark: bytes on the wire and time over a 2 MB/s link for a
# film sent as JPEG-LS lossless against uncompressed, on the demo's phantom and
# on a 14 x 17 inch film with grain (see bench_compression.cpp). Prints both
# ratios per film (targets: bytes <= 0.55, time <= 0.6). Takes about a minute.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
build=${SKIASCAN_BUILD_DIR:-$top/build}
exec "$build/bench/bench_compression" "$build/bin/SCANFILE.EXE"
