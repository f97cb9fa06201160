#!/usr/bin/env bash
# Builds the bridge and the load tool, then measures the bridge against socat and a direct
# connection and writes bench/RESULTS.md (about a minute and a half, most of it the two
# 30 s quiet windows). Extra arguments go to the tool, e.g. --terminals 4.
set -euo pipefail
cd "$(dirname "$0")/.."

if ! command -v socat >/dev/null; then
    sudo=""
    [ "$(id -u)" = 0 ] || sudo=sudo
    $sudo apt-get update && $sudo apt-get install -y socat
fi
# A build folder configured before bench/ existed has no bench target yet.
if [ ! -f build/CMakeCache.txt ] || [ ! -d build/bench ]; then
    cmake -S . -B build
fi
cmake --build build --target poskavelin poskavelin_bench -j "$(nproc)"

revision="$(git rev-parse --short HEAD 2>/dev/null || echo unknown)"
git diff --quiet HEAD -- src 2>/dev/null || revision="$revision with uncommitted changes in src/"

exec build/bench/poskavelin_bench --poskavelin build/poskavelin --socat "$(command -v socat)" \
    --out bench/RESULTS.md --command "bench/run.sh${*:+ $*}" --revision "$revision" "$@"
