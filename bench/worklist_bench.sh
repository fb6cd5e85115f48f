#!/bin/sh
# Worklist benchmark: 5,000 entries for today in a wlmscpfs worklist. Times a
# click on Worklist until the list is sorted, against DCMTK findscu fetching the
# same answers into files, in the same run. Run after scripts/build.sh.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
bin=${SKIASCAN_BUILD_DIR:-$top/build}/bench/bench_worklist
count=${ENTRIES:-5000}
runs=${RUNS:-3}
work=$(mktemp -d)
pid=""
cleanup() { [ -z "$pid" ] || kill "$pid" 2>/dev/null || true; rm -rf "$work"; }
trap cleanup EXIT INT TERM

mkdir -p "$work/db/WLSRV" "$work/answers"
touch "$work/db/WLSRV/lockfile"
"$bin" --make-entries "$work/db/WLSRV" "$count"
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
wlmscpfs -dfr -dfp "$work/db" "$port" >/dev/null 2>&1 &
pid=$!
n=0
until echoscu -aec WLSRV 127.0.0.1 "$port" >/dev/null 2>&1; do
  n=$((n + 1)); [ $n -lt 500 ] || { echo "wlmscpfs did not start" >&2; exit 1; }
  sleep 0.02
done

today=$(date +%Y%m%d)
cat > "$work/query.dump" <<DUMP
(0008,0005) CS []
(0008,0050) SH []
(0010,0010) PN []
(0010,0020) LO []
(0010,0030) DA []
(0010,0040) CS []
(0032,1064) SQ (Sequence with undefined length)
(fffe,e000) na (Item with undefined length)
(0008,0100) SH []
(fffe,e00d) na (ItemDelimitationItem)
(fffe,e0dd) na (SequenceDelimitationItem)
(0040,0100) SQ (Sequence with undefined length)
(fffe,e000) na (Item with undefined length)
(0008,0060) CS [CR]
(0040,0001) AE [SKIA1]
(0040,0002) DA [$today-$today]
(0040,0003) TM [000000-235959]
(0040,0010) SH [ROOM1]
(fffe,e00d) na (ItemDelimitationItem)
(fffe,e0dd) na (SequenceDelimitationItem)
DUMP
dump2dcm "$work/query.dump" "$work/query.dcm"

ours_total=0
theirs_total=0
i=0
while [ $i -lt "$runs" ]; do
  rm -f "$work/answers/"*
  start=$(date +%s.%N)
  findscu -W -X -od "$work/answers" -aet SKIASCAN -aec WLSRV 127.0.0.1 "$port" "$work/query.dcm" >/dev/null 2>&1
  end=$(date +%s.%N)
  theirs=$(echo "$end - $start" | bc -l)
  got=$(ls "$work/answers" | wc -l)
  out=$("$bin" "$port" WLSRV)
  ours=$(echo "$out" | awk '/^click_to_sorted_list_seconds/ {print $2}')
  echo "run $((i + 1)): findscu ${theirs}s ($got files), ours ${ours}s ($(echo "$out" | awk '/^rows/ {print $2}') rows, $(echo "$out" | awk '/^event_loop_turns/ {print $2}') event loop turns while busy)"
  ours_total=$(echo "$ours_total + $ours" | bc -l)
  theirs_total=$(echo "$theirs_total + $theirs" | bc -l)
  i=$((i + 1))
done
printf 'mean: ours %.3fs, findscu %.3fs, ratio %.2f (target <= 1.5)\n' \
  "$(echo "$ours_total / $runs" | bc -l)" "$(echo "$theirs_total / $runs" | bc -l)" \
  "$(echo "$ours_total / $theirs_total" | bc -l)"
