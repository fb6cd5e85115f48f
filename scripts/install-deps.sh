#!/bin/sh
# Installs every Debian package Skiascan needs to build, test and run its demo.
# Run as root (or through sudo). Safe to run again: apt skips what is present.
set -eu

# build: compilers, CMake and Ninja; clang and its runtime for the fuzz targets
# libraries: Qt 6 (with the OpenGL headers its CMake files ask for), DCMTK, libtiff, GoogleTest,
#   OpenSSL (DICOM over TLS)
# peers and checks in the tests and the demo: DCMTK's tools, dciodvfy, Orthanc, and the
#   odil library's Python bindings (the MPPS node the tests run)
# certificates for the TLS tests and the demo: openssl
# the end-to-end test: a virtual X server (xvfb-run needs xauth) and xdotool
# the window's fixed layout: its font
# scripts: python3 (free ports, UIDs), bc (benchmark arithmetic)
# the ThreadSanitizer stage: glibc's symbols, which its suppressions name
PACKAGES="
  build-essential cmake ninja-build clang libclang-rt-14-dev libc6-dbg
  qt6-base-dev libgl-dev libdcmtk-dev libtiff-dev libgtest-dev libssl-dev
  dcmtk dicom3tools orthanc python3-odil openssl
  xvfb xauth xdotool
  fonts-liberation2
  python3 bc
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
