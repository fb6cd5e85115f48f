#!/bin/sh
# Configures and builds Skiascan in ./build (or $SKIASCAN_BUILD_DIR).
# Extra CMake options can be passed in $SKIASCAN_CMAKE_ARGS, and the targets to
# build (all by default) in $SKIASCAN_BUILD_TARGETS.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
build=${SKIASCAN_BUILD_DIR:-$top/build}
# shellcheck disable=SC2086
cmake -S "$top" -B "$build" -G Ninja ${SKIASCAN_CMAKE_ARGS:-} >/dev/null
if [ -n "${SKIASCAN_BUILD_TARGETS:-}" ]; then
  # shellcheck disable=SC2086
  cmake --build "$build" -j2 --target $SKIASCAN_BUILD_TARGETS
else
  cmake --build "$build" -j2
fi
