#!/usr/bin/env bash
# Builds the bridge and the load tool, then measures the bridge against socat and a direct
# connection and writes bench/RESULTS.md with its latency plots in bench/plots (about a
# minute and a half, most of it the two 30 s quiet windows). Extra arguments go to the tool,
# e.g. --terminals 4.
#   bench/run.sh --quick   latency and the shaped channel's throughput only, in well under
#                          30 s, to check a change; writes
#                          build/bench/QUICK.md and leaves bench/ alone.
set -euo pipefail
cd "$(dirname "$0")/.."

quick=false
for arg in "$@"; do
    [ "$arg" = --quick ] && quick=true
done

if ! command -v socat >/dev/null || { ! $quick && ! command -v gnuplot >/dev/null; }; then
    sudo=""
    [ "$(id -u)" = 0 ] || sudo=sudo
    $sudo apt-get update && $sudo apt-get install -y socat gnuplot-nox
fi
# A build folder configured before bench/ existed has no bench target yet.
if [ ! -f build/CMakeCache.txt ] || [ ! -d build/bench ]; then
    cmake -S . -B build
fi
# Two jobs at most: the machine is shared.
jobs="$(nproc)"
[ "$jobs" -gt 2 ] && jobs=2
cmake --build build --target poskavelin poskavelin_bench -j "$jobs"

revision="$(git rev-parse --short HEAD 2>/dev/null || echo unknown)"
git diff --quiet HEAD -- src 2>/dev/null || revision="$revision with uncommitted changes in src/"

if $quick; then
    build/bench/poskavelin_bench --poskavelin build/poskavelin --socat "$(command -v socat)" \
        --out build/bench/QUICK.md --command "bench/run.sh $*" --revision "$revision" "$@"
    # The table, for the terminal.
    sed -n '1,/^## Latency with 1 channel/p' build/bench/QUICK.md | grep -v '^$' | head -n -1
    exit
fi

build/bench/poskavelin_bench --poskavelin build/poskavelin --socat "$(command -v socat)" \
    --out bench/RESULTS.md --plots bench/plots --command "bench/run.sh${*:+ $*}" \
    --revision "$revision" "$@"
gnuplot -e "dir='bench/plots'" bench/plots/latency.gp
echo "wrote bench/plots/latency-1.svg and bench/plots/latency-busy.svg" >&2
