#!/bin/sh
# Builds the fuzz targets with clang (in build-fuzz) and runs them.
#
#   fuzz/fuzz.sh [TARGET|all] [SECONDS]
#
# Each target runs SECONDS (default 600) on a corpus in build-fuzz/corpus/<target>
# that starts from the seeds the build writes; crashes go to
# build-fuzz/findings/<target>. A short run of every target (fuzz/fuzz.sh all 5)
# is part of the tests.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
build=${SKIASCAN_FUZZ_BUILD_DIR:-$top/build-fuzz}
target=${1:-all}
seconds=${2:-600}

if [ ! -f "$build/CMakeCache.txt" ]; then
  CC=clang CXX=clang++ cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DSKIASCAN_FUZZ=ON -DSKIASCAN_BUILD_TESTS=OFF >/dev/null
fi
cmake --build "$build" -j2 --target fuzz_all

seeds_for() {
  case "$1" in
    fuzz_tiff_import) echo tiff ;;
    fuzz_settings) echo settings ;;
    fuzz_worklist_row) echo worklist ;;
    fuzz_outbox_entry) echo outbox ;;
  esac
}

if [ "$target" = all ]; then
  targets="fuzz_tiff_import fuzz_settings fuzz_worklist_row fuzz_outbox_entry"
else
  targets=$target
fi
status=0
for t in $targets; do
  corpus=$build/corpus/$t
  findings=$build/findings/$t
  mkdir -p "$corpus" "$findings"
  cp -n "$build/fuzz/seeds/$(seeds_for "$t")"/* "$corpus/" 2>/dev/null || true
  echo "== $t: ${seconds}s"
  if ! ASAN_OPTIONS=detect_leaks=1 "$build/fuzz/$t" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
      -artifact_prefix="$findings/" -print_final_stats=1 "$corpus" 2>"$build/$t.log"; then
    echo "   FINDING: see $build/$t.log and $findings/" >&2
    status=1
  fi
  grep -E '^stat::number_of_executed_units|^stat::new_units_added|^stat::peak_rss_mb' "$build/$t.log" | sed 's/^/   /'
done
exit $status
