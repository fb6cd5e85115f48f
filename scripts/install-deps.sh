#!/bin/sh
# Installs every Debian package Skiascan needs to build, test and run its demo.
# Run as root (or through sudo). Safe to run again: apt skips what is present.
set -eu

PACKAGES="
  build-essential cmake ninja-build pkg-config clang libclang-rt-14-dev
  qt6-base-dev libgl-dev
  libdcmtk-dev dcmtk
  libtiff-dev
  libgtest-dev
  dicom3tools orthanc
  xvfb xauth xdotool x11-apps imagemagick
  fonts-dejavu-core fonts-liberation2
  curl ca-certificates bc python3
"

if [ "$(id -u)" -ne 0 ]; then
  if command -v sudo >/dev/null 2>&1; then
    exec sudo "$0" "$@"
  fi
  echo "install-deps.sh: run as root or install sudo" >&2
  exit 1
fi

missing=""
for p in $PACKAGES; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
if [ -z "$missing" ]; then
  exit 0
fi

export DEBIAN_FRONTEND=noninteractive
apt-get update
# shellcheck disable=SC2086
apt-get install -y --no-install-recommends $missing
