#!/usr/bin/env bash
# Builds the package and installs it in a throwaway Debian 12 system booted with systemd
# (scripts/boot-container.sh), where tests/package/boot-probe.sh runs an instance for real:
# start, status, journal fields, forwarding to a DVR, poskavelinctl, reload, clean stop. Needs
# root.
#   scripts/boot-test.sh
set -euo pipefail

cd "$(dirname "${BASH_SOURCE[0]}")/.."
readonly BUILD_DIR=${BUILD_DIR:-build}

scripts/dev.sh package
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$BUILD_DIR/CMakeCache.txt")
deb=$BUILD_DIR/poskavelin_${version}_$(dpkg --print-architecture).deb
scripts/boot-container.sh --deb "$deb" --pkg socat --timeout 300 tests/package/boot-probe.sh
