#!/bin/sh
# Installs what is missing, builds, and starts Skiascan on a demo setup that
# needs no scanner and no hospital network:
#   - Orthanc as the PACS (web page http://127.0.0.1:8042/), fresh storage each start
#   - DCMTK storescp as a second node ("ARCHIVE"), reached over TLS only, with
#     a private authority and certificates made with openssl at the first start
#   - DCMTK wlmscpfs as the worklist server, with today's scheduled patients
#   - the tests' MPPS node (odil) as the RIS that hears of each performed
#     procedure step ("RIS"); what it received is in build/demo/run/ris
#   - the scanner simulator as SCANFILE.EXE
# in its own program folder build/demo/program (no settings file of yours is
# touched). Closing Skiascan stops everything the demo started.
#
# Ports can be changed with DEMO_HTTP_PORT, DEMO_PACS_PORT, DEMO_ARCHIVE_PORT
# DEMO_WORKLIST_PORT, DEMO_STATION_PORT (where Skiascan takes the PACS's
# storage commitment reports) and DEMO_RIS_PORT.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
build=${SKIASCAN_BUILD_DIR:-$top/build}
http_port=${DEMO_HTTP_PORT:-8042}
pacs_port=${DEMO_PACS_PORT:-4242}
archive_port=${DEMO_ARCHIVE_PORT:-11112}
worklist_port=${DEMO_WORKLIST_PORT:-11113}
station_port=${DEMO_STATION_PORT:-11114}
ris_port=${DEMO_RIS_PORT:-11115}

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  echo "demo.sh: no display found (DISPLAY is not set), so Skiascan's window has nowhere to go." >&2
  echo "Start the demo under a virtual X server instead:" >&2
  echo "  xvfb-run -s '-screen 0 1024x768x24' scripts/demo.sh" >&2
  exit 1
fi

"$top/scripts/install-deps.sh"
# Only what the demo runs: the program, the scanner simulator and the settings writer.
SKIASCAN_BUILD_TARGETS="skiascan scanfile skiascan_settings_tool" "$top/scripts/build.sh"

demo=$build/demo
program=$demo/program
run=$demo/run
pids=""
stop_all() {
  for p in $pids; do kill "$p" 2>/dev/null || true; done
  for p in $pids; do wait "$p" 2>/dev/null || true; done
}
trap stop_all EXIT
trap 'exit 130' INT TERM

port_free() {
  python3 -c 'import socket,sys; s=socket.socket(); s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1); s.bind(("127.0.0.1", int(sys.argv[1])))' "$1" 2>/dev/null
}
for p in "$http_port" "$pacs_port" "$archive_port" "$worklist_port" "$station_port" "$ris_port"; do
  if ! port_free "$p"; then
    echo "demo.sh: port $p is in use (is another demo running?). Choose other ports with" >&2
    echo "DEMO_HTTP_PORT, DEMO_PACS_PORT, DEMO_ARCHIVE_PORT, DEMO_WORKLIST_PORT, DEMO_STATION_PORT or DEMO_RIS_PORT." >&2
    exit 1
  fi
done

wait_for_echo() { # AET PORT NAME [echoscu options]
  aet=$1 port=$2 name=$3
  shift 3
  n=0
  until echoscu "$@" -aec "$aet" 127.0.0.1 "$port" >/dev/null 2>&1; do
    n=$((n + 1))
    if [ $n -ge 300 ]; then
      echo "demo.sh: $name did not start on port $port (see $run/*.log)" >&2
      exit 1
    fi
    sleep 0.1
  done
}

# A fresh run folder: PACS storage, archive, worklist database, logs. The
# certificates stay from the first start.
tls=$run/tls
if [ -d "$run" ]; then
  find "$run" -mindepth 1 -maxdepth 1 ! -name tls -exec rm -rf {} +
fi
mkdir -p "$run/orthanc" "$run/archive" "$run/worklist/WLSRV" "$program/images"
touch "$run/worklist/WLSRV/lockfile"

sed -e "s|@STORAGE@|$run/orthanc|" -e "s|@HTTP_PORT@|$http_port|" -e "s|@DICOM_PORT@|$pacs_port|" -e "s|@STATION_PORT@|$station_port|" \
  "$top/demo/orthanc.json.in" > "$run/orthanc.json"
Orthanc "$run/orthanc.json" > "$run/orthanc.log" 2>&1 &
pids="$pids $!"

# DICOM over TLS to the archive: a private authority that signs the archive's
# certificate and the station's; each side trusts that authority only.
if [ ! -f "$tls/skiascan.pem" ]; then
  mkdir -p "$tls"
  chmod 700 "$tls"
  openssl req -x509 -newkey rsa:2048 -nodes -days 3650 -subj "/CN=Skiascan Demo Authority" \
    -keyout "$tls/authority.key" -out "$tls/authority.pem" 2> "$tls/openssl.log"
  for name in archive skiascan; do
    openssl req -newkey rsa:2048 -nodes -subj "/CN=$name" \
      -keyout "$tls/$name.key" -out "$tls/$name.csr" 2>> "$tls/openssl.log"
    openssl x509 -req -in "$tls/$name.csr" -CA "$tls/authority.pem" -CAkey "$tls/authority.key" \
      -CAcreateserial -days 825 -out "$tls/$name.pem" 2>> "$tls/openssl.log"
  done
fi
storescp +tls "$tls/archive.key" "$tls/archive.pem" +cf "$tls/authority.pem" \
  -aet ARCHIVE -od "$run/archive" "$archive_port" > "$run/archive.log" 2>&1 &
pids="$pids $!"

# Today's scheduled patients, made anew for today's date at every start.
today=$(date +%Y%m%d)
uidroot=$(python3 -c 'import uuid; print("2.25.%d" % uuid.uuid4().int)')
for dump in "$top"/demo/worklist/*.dump; do
  name=$(basename "$dump" .dump)
  sed -e "s/@TODAY@/$today/" -e "s/@UIDROOT@/$uidroot/" "$dump" > "$run/$name.dump"
  dump2dcm "$run/$name.dump" "$run/worklist/WLSRV/$name.wl" 2>/dev/null
done
wlmscpfs -dfr -csk -dfp "$run/worklist" "$worklist_port" > "$run/worklist.log" 2>&1 &
pids="$pids $!"

# The RIS: an MPPS node on the odil library (Debian's interpreter has python3-odil).
/usr/bin/python3 "$top/tests/support/mpps_peer.py" "$ris_port" "$run/ris" > "$run/ris.log" 2>&1 &
pids="$pids $!"

wait_for_echo ORTHANC "$pacs_port" Orthanc
wait_for_echo ARCHIVE "$archive_port" storescp +tls "$tls/skiascan.key" "$tls/skiascan.pem" +cf "$tls/authority.pem"
wait_for_echo WLSRV "$worklist_port" wlmscpfs
wait_for_echo RIS "$ris_port" "the MPPS node"

# The program folder: the program, the scanner simulator, the test image and
# a settings file for this setup.
cp "$build/bin/skiascan" "$build/bin/SCANFILE.EXE" "$build/bin/Test.tif" "$program/"
"$build/tools/skiascan-settings" "$program/Skiascan.ini" \
  ScanApp="$program/SCANFILE.EXE" ImageFolder="$program/images/" LocalAET=SKIASCAN \
  WindowCenter=2048 WindowWidth=4096 \
  Remote0="ORTHANC|127.0.0.1|$pacs_port" Remote1="ARCHIVE|127.0.0.1|$archive_port" \
  WorklistIP=127.0.0.1 WorklistPort="$worklist_port" WorklistAET=WLSRV \
  ScheduledModality=CR ScheduledAET=SKIASCAN
# The settings beyond the sixteen lines: a worklist pick files its films under
# the study the RIS scheduled, the PACS (the first row) takes its images
# compressed losslessly (JPEG-LS) and commits to every image before it leaves
# the outbox, the archive (the second row) is reached over TLS, and the RIS
# hears of each study's performed procedure step. Each film opens the film
# view and is held there until the operator accepts it.
cat > "$program/Skiascan.options.ini" <<EOF
[Worklist]
UseScheduledStudy=true

[Node0]
StorageCommitment=true
Compression=jpeg-ls-lossless

[Local]
Port=$station_port

[Node1]
Tls=true
TrustedCertificates=$tls/authority.pem
Certificate=$tls/skiascan.pem
PrivateKey=$tls/skiascan.key

[Mpps]
Enabled=true
AETitle=RIS
Host=127.0.0.1
Port=$ris_port

[View]
ShowEachFilm=true
HoldForReview=true
EOF

echo "Skiascan demo:"
echo "  PACS (Orthanc):   http://127.0.0.1:$http_port/  (DICOM ORTHANC@127.0.0.1:$pacs_port)"
echo "  Archive node:     ARCHIVE@127.0.0.1:$archive_port over TLS (certificates in $tls), files in $run/archive"
echo "  Worklist server:  WLSRV@127.0.0.1:$worklist_port, $(ls "$run/worklist/WLSRV" | grep -c '\.wl$') patients for today"
echo "  RIS (MPPS):       RIS@127.0.0.1:$ris_port, what it received in $run/ris (steps/ holds each step as it stands)"
echo "  Program folder:   $program"
echo "Close the Skiascan window to stop the demo."

# The simulated scanner takes a moment per film, as a real one does.
SCANFILE_DELAY_MS=${SCANFILE_DELAY_MS:-1000} "$program/skiascan" "$@"
