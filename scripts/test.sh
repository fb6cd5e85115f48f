#!/bin/sh
# Installs what is missing, builds, and runs every test. Extra arguments go to
# ctest, e.g. scripts/test.sh -R MainWindowTest
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/install-deps.sh"
SKIASCAN_CMAKE_ARGS="-DSKIASCAN_WERROR=ON ${SKIASCAN_CMAKE_ARGS:-}" "$top/scripts/build.sh"
cd "${SKIASCAN_BUILD_DIR:-$top/build}"
exec ctest --output-on-failure -j2 "$@"
