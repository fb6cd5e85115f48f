#!/bin/sh
# Installs the Debian package on a fresh Debian 12 system (a minimal root made
# with debootstrap in build/package-test, reused on later runs) and starts the
# installed program there, headless, to see that it runs. Needs root.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
build=${SKIASCAN_BUILD_DIR:-$top/build}
root=$build/package-test
"$top/scripts/package.sh"
deb=$(ls "$build"/skiascan_*_amd64.deb | tail -n 1)

if [ ! -x "$root/usr/bin/apt-get" ]; then
  command -v debootstrap >/dev/null || apt-get install -y --no-install-recommends debootstrap
  # The Debian mirror this machine's apt already uses.
  mirror=$(awk '/^URIs:/ {print $2; exit}' /etc/apt/sources.list.d/debian.sources 2>/dev/null || true)
  [ -n "$mirror" ] || mirror=$(awk '/^deb / {print $2; exit}' /etc/apt/sources.list 2>/dev/null || true)
  [ -n "$mirror" ] || { echo "test-package.sh: no Debian mirror found in this machine's apt sources" >&2; exit 1; }
  debootstrap --variant=minbase bookworm "$root" "$mirror"
fi
cp "$deb" "$root/tmp/skiascan.deb"
cp /etc/resolv.conf "$root/etc/resolv.conf"
if [ -f /etc/apt/sources.list.d/debian.sources ]; then
  cp /etc/apt/sources.list.d/debian.sources "$root/etc/apt/sources.list.d/" && rm -f "$root/etc/apt/sources.list"
fi
cleanup() { umount "$root/proc" 2>/dev/null || true; }
trap cleanup EXIT
mount -t proc proc "$root/proc"
chroot "$root" sh -c 'apt-get update -q && DEBIAN_FRONTEND=noninteractive apt-get install -y -q /tmp/skiascan.deb'

# The installed program starts (headless), shows the preferences dialog for the
# missing settings file and keeps running until it is stopped.
chroot "$root" sh -c '
  export HOME=/root QT_QPA_PLATFORM=offscreen
  skiascan & pid=$!
  sleep 3
  kill -0 $pid && echo "skiascan runs" || { echo "skiascan did not start"; exit 1; }
  kill $pid
  test -x /root/.local/share/skiascan/skiascan && echo "program folder: /root/.local/share/skiascan"
  test -f /usr/share/applications/skiascan.desktop && echo "desktop entry installed"
'
echo "package test passed: $(basename "$deb")"
