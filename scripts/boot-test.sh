#!/usr/bin/env bash
# Builds the package and installs it in a throwaway Debian 12 system booted with systemd
# (the shared tool ../shared/tools/boot-test.sh), where tests/package/boot-probe.sh runs an
# instance for real: start, status, journal, forwarding to a DVR, clean stop. Needs root.
#   scripts/boot-test.sh
set -euo pipefail

cd "$(dirname "${BASH_SOURCE[0]}")/.."
readonly TOOL=../shared/tools/boot-test.sh
readonly BUILD_DIR=${BUILD_DIR:-build}

if [[ ! -f $TOOL ]]; then
    echo "boot-test: $TOOL is missing; skipping the test under systemd"
    exit 0
fi

scripts/dev.sh package
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$BUILD_DIR/CMakeCache.txt")
deb=$BUILD_DIR/poskavelin_${version}_$(dpkg --print-architecture).deb
bash "$TOOL" --deb "$deb" --pkg socat --timeout 300 tests/package/boot-probe.sh
