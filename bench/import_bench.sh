#!/bin/sh
# Import benchmark: our whole import of a 3556 x 4318 16-bit film (read TIFF,
# build, write-ahead into the outbox, three sends at once) against DCMTK storescu
# sending the same image, already built, to the same three storescp nodes (which
# discard what they receive), one after the other; three storescu at once are
# shown for reference. Run from the top of the tree after scripts/build.sh.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
bin=${SKIASCAN_BUILD_DIR:-$top/build}/bench/bench_import
work=$(mktemp -d)
pids=""
cleanup() { for p in $pids; do kill "$p" 2>/dev/null || true; done; rm -rf "$work"; }
trap cleanup EXIT INT TERM

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
ports=""
for i in 1 2 3; do
  p=$(free_port)
  storescp --ignore -aet BENCH "$p" >/dev/null 2>&1 &
  pids="$pids $!"
  ports="$ports $p"
done
for p in $ports; do
  n=0
  until echoscu -aec BENCH 127.0.0.1 "$p" >/dev/null 2>&1; do
    n=$((n + 1)); [ $n -lt 500 ] || { echo "storescp on $p did not start" >&2; exit 1; }
    sleep 0.02
  done
done

# A first run makes the TIFF and the reference DICOM file; the timed runs follow.
# shellcheck disable=SC2086
"$bin" "$work/film.tif" "$work/film.dcm" 127.0.0.1 $ports >/dev/null
runs=${RUNS:-5}
ours_total=0
theirs_total=0
concurrent_total=0
i=0
while [ $i -lt "$runs" ]; do
  # shellcheck disable=SC2086
  out=$("$bin" "$work/film.tif" "$work/film.dcm" 127.0.0.1 $ports)
  ours=$(echo "$out" | awk '/^import_seconds/ {print $2}')
  start=$(date +%s.%N)
  for p in $ports; do storescu -aec BENCH -aet SKIASCAN 127.0.0.1 "$p" "$work/film.dcm"; done
  end=$(date +%s.%N)
  theirs=$(echo "$end - $start" | bc -l)
  start=$(date +%s.%N)
  spids=""
  for p in $ports; do storescu -aec BENCH -aet SKIASCAN 127.0.0.1 "$p" "$work/film.dcm" & spids="$spids $!"; done
  for p in $spids; do wait "$p"; done
  end=$(date +%s.%N)
  concurrent=$(echo "$end - $start" | bc -l)
  echo "run $((i + 1)): ours ${ours}s, storescu x3 one after the other ${theirs}s, at once ${concurrent}s"
  ours_total=$(echo "$ours_total + $ours" | bc -l)
  theirs_total=$(echo "$theirs_total + $theirs" | bc -l)
  concurrent_total=$(echo "$concurrent_total + $concurrent" | bc -l)
  i=$((i + 1))
done
echo "$out" | grep -v import_seconds
printf 'mean: ours %.3fs, storescu x3 one after the other %.3fs, at once %.3fs\n' \
  "$(echo "$ours_total / $runs" | bc -l)" "$(echo "$theirs_total / $runs" | bc -l)" \
  "$(echo "$concurrent_total / $runs" | bc -l)"
printf 'ratio ours / storescu x3 one after the other: %.2f (target <= 0.5); storescu at once: %.2f\n' \
  "$(echo "$ours_total / $theirs_total" | bc -l)" "$(echo "$concurrent_total / $theirs_total" | bc -l)"
