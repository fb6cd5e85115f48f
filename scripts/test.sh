#!/bin/sh
# Installs what is missing, builds, and runs every test: a short run of each
# fuzz target, the whole suite built with AddressSanitizer and
# UndefinedBehaviorSanitizer (in build-asan), the tests of work on several
# threads (CTest label "tsan") built with ThreadSanitizer (in build-tsan), and
# the whole suite of the normal build. "--quick" runs only the last. Further
# arguments go to ctest, e.g.
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

  echo "== The tests of work on several threads under ThreadSanitizer"
  SKIASCAN_BUILD_DIR="$top/build-tsan" SKIASCAN_BUILD_TARGETS=skiascan_tsan_tests \
    SKIASCAN_CMAKE_ARGS="-DSKIASCAN_SANITIZE=thread -DSKIASCAN_WERROR=ON" "$top/scripts/build.sh"
  # Qt and DCMTK are not built with ThreadSanitizer: tests/tsan.supp names the
  # reports that come from inside them, each with its reason. The session
  # starts the scanner with QProcess while the delivery workers run; Qt's child
  # shares the process's memory until it execs, and ThreadSanitizer takes it
  # for a fork of a threaded process (see tests/support/child_process.h):
  # die_after_fork=0 lets the test go on, the thread that started it unwatched.
  (cd "$top/build-tsan" && TSAN_OPTIONS="suppressions=$top/tests/tsan.supp:halt_on_error=1:second_deadlock_stack=1:die_after_fork=0" \
    ctest --output-on-failure -j2 -L tsan "$@")
fi

echo "== The suite"
cd "${SKIASCAN_BUILD_DIR:-$top/build}"
exec ctest --output-on-failure -j2 "$@"
