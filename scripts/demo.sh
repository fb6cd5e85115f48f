#!/bin/sh
# Installs what is missing, builds, and starts Skiascan on a demo setup in
# build/demo (its own program folder, so no settings file of yours is touched).
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
build=${SKIASCAN_BUILD_DIR:-$top/build}

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  echo "demo.sh: no display found (DISPLAY is not set)." >&2
  echo "Start it under a virtual X server instead:" >&2
  echo "  xvfb-run -s '-screen 0 1024x768x24' scripts/demo.sh" >&2
  exit 1
fi

"$top/scripts/install-deps.sh"
"$top/scripts/build.sh"

demo=$build/demo
mkdir -p "$demo/images"
cp "$build/bin/skiascan" "$demo/skiascan"
if [ ! -f "$demo/Skiascan.ini" ]; then
  # Sixteen lines, CR LF: no scanner program (test mode), images in ./images,
  # no remote nodes and no worklist server yet.
  printf '%s\r\n' "" "" "$demo/images/" "" "SKIASCAN" "1500" "3000" "||" "||" "||" \
    "" "0" "" "" "" "" > "$demo/Skiascan.ini"
fi
exec "$demo/skiascan" "$@"
