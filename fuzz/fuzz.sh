#!/bin/sh
# Builds the fuzz targets with clang (in build-fuzz) and runs them.
#
#   fuzz/fuzz.sh [TARGET|all] [SECONDS]   run each target SECONDS (default 600)
#   fuzz/fuzz.sh minimize [TARGET|all]    merge what the runs found into fuzz/corpus/
#
# Each target runs on a corpus in build-fuzz/corpus/<target> that starts from
# the minimised corpus kept in fuzz/corpus/<target> and the seeds the build
# writes; crashes go to build-fuzz/findings/<target>. Memory is held tight
# (300 MB in all, 200 MB in one allocation), so that an input making the
# program reserve what its bytes do not justify is a finding. A short run of
# every target (fuzz/fuzz.sh all 5) is part of the tests.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
build=${SKIASCAN_FUZZ_BUILD_DIR:-$top/build-fuzz}
all="fuzz_tiff_import fuzz_settings fuzz_worklist_row fuzz_find_answers fuzz_outbox_entry"
limits="-rss_limit_mb=300 -malloc_limit_mb=200 -timeout=10"
# A small quarantine, so that the memory limit sees what the program holds,
# not the freed memory AddressSanitizer keeps back to catch late uses (with its
# default of 256 MB, or even 16 MB, the process grows by some bytes per input
# and passes 300 MB within a long run; the same loop without it stays flat).
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:quarantine_size_mb=4:thread_local_quarantine_size_kb=256}

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
    fuzz_find_answers) echo answers ;;
    fuzz_outbox_entry) echo outbox ;;
  esac
}

if [ "${1:-all}" = minimize ]; then
  targets=${2:-all}
  [ "$targets" = all ] && targets=$all
  for t in $targets; do
    kept=$top/fuzz/corpus/$t
    fresh=$build/minimized/$t
    rm -rf "$fresh" && mkdir -p "$fresh" "$kept"
    # shellcheck disable=SC2086
    "$build/fuzz/$t" -merge=1 $limits "$fresh" "$kept" "$build/corpus/$t" "$build/fuzz/seeds/$(seeds_for "$t")" \
      2>"$build/$t.merge.log"
    rm -rf "$kept" && mv "$fresh" "$kept"
    echo "$t: $(ls "$kept" | wc -l) inputs, $(du -sk "$kept" | cut -f1) KB"
  done
  exit 0
fi

target=${1:-all}
seconds=${2:-600}
[ "$target" = all ] && target=$all
status=0
for t in $target; do
  corpus=$build/corpus/$t
  findings=$build/findings/$t
  mkdir -p "$corpus" "$findings"
  cp -n "$top/fuzz/corpus/$t"/* "$corpus/" 2>/dev/null || true
  cp -n "$build/fuzz/seeds/$(seeds_for "$t")"/* "$corpus/" 2>/dev/null || true
  echo "== $t: ${seconds}s"
  # shellcheck disable=SC2086
  if ! "$build/fuzz/$t" -max_total_time="$seconds" $limits \
      -artifact_prefix="$findings/" -print_final_stats=1 "$corpus" 2>"$build/$t.log"; then
    echo "   FINDING: see $build/$t.log and $findings/" >&2
    status=1
  fi
  grep -E '^stat::number_of_executed_units|^stat::new_units_added|^stat::peak_rss_mb' "$build/$t.log" | sed 's/^/   /'
done
exit $status
