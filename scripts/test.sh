#!/bin/sh
# Installs what is missing, builds, and runs every test: a short run of each
# fuzz target, the whole suite built with AddressSanitizer and
# UndefinedBehaviorSanitizer (in build-asan), and the whole suite of the normal
# build. "--quick" runs only the last. Further arguments go to ctest, e.g.
#   scripts/test.sh --quick -R MainWindowTest
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
quick=0
if [ "${1:-}" = "--quick" ]; then
  quick=1
  shift
fi
"$top/scripts/install-deps.sh"
SKIASCAN_CMAKE_ARGS="-DSKIASCAN_WERROR=ON ${SKIASCAN_CMAKE_ARGS:-}" "$top/scripts/build.sh"

if [ $quick -eq 0 ]; then
  echo "== Fuzz targets, a few seconds each"
  "$top/fuzz/fuzz.sh" all 5

  echo "== The suite under AddressSanitizer and UndefinedBehaviorSanitizer"
  SKIASCAN_BUILD_DIR="$top/build-asan" \
    SKIASCAN_CMAKE_ARGS="-DCMAKE_BUILD_TYPE=Debug -DSKIASCAN_SANITIZE=ON -DSKIASCAN_WERROR=ON" "$top/scripts/build.sh"
  (cd "$top/build-asan" && UBSAN_OPTIONS=print_stacktrace=1 ctest --output-on-failure -j2 "$@")
fi

echo "== The suite"
cd "${SKIASCAN_BUILD_DIR:-$top/build}"
exec ctest --output-on-failure -j2 "$@"
