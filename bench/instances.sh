#!/usr/bin/env bash
# What running several bridges on one PC costs: starts 8 instances of build/poskavelin, each
# from its own folder with 16 rows linked to 16 DVRs on 127.0.0.1 (one python listener plays
# all 128), waits until every link is up, then measures memory and CPU over a quiet window.
# Writes bench/INSTANCES.md. About 40 s; everything is bounded.
#   bench/instances.sh [INSTANCES] [WINDOW_SECONDS]
set -euo pipefail
cd "$(dirname "$0")/.."

readonly INSTANCES=${1:-8}
readonly WINDOW=${2:-20}
readonly ROWS=16
readonly LINKS=$((INSTANCES * ROWS))
readonly OUT=bench/INSTANCES.md

cmake --build build --target poskavelin -j 2 >/dev/null
work=$(mktemp -d /tmp/poskavelin-instances.XXXXXX)
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

# The DVRs: listens on LINKS ports, keeps every accepted link open and discards what comes in,
# and keeps the number of open links in a file. It also picks free ports for the terminals.
python3 - "$LINKS" "$work" <<'EOF' &
import os, selectors, socket, sys
links, work = int(sys.argv[1]), sys.argv[2]
sel = selectors.DefaultSelector()
def listener():
    s = socket.socket()
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    s.bind(("127.0.0.1", 0))
    return s
dvr = [listener() for _ in range(links)]
spare = [listener() for _ in range(links)]
for s in dvr:
    s.listen(8)
    s.setblocking(False)
    sel.register(s, selectors.EVENT_READ, "listen")
with open(f"{work}/ports.tmp", "w") as f:
    for d, p in zip(dvr, spare):
        f.write(f"{d.getsockname()[1]} {p.getsockname()[1]}\n")
for s in spare:
    s.close()  # the bridges listen on these
os.rename(f"{work}/ports.tmp", f"{work}/ports")
open_links = 0
while True:
    for key, _ in sel.select():
        if key.data == "listen":
            conn, _ = key.fileobj.accept()
            conn.setblocking(False)
            sel.register(conn, selectors.EVENT_READ, "link")
            open_links += 1
        elif not key.fileobj.recv(65536):
            sel.unregister(key.fileobj)
            key.fileobj.close()
            open_links -= 1
        else:
            continue
        with open(f"{work}/links.tmp", "w") as f:
            f.write(str(open_links))
        os.rename(f"{work}/links.tmp", f"{work}/links")
EOF
pids+=($!)

wait_until() {  # wait_until SECONDS COMMAND...
    local deadline=$((SECONDS + $1))
    until "${@:2}"; do
        ((SECONDS < deadline)) || return 1
        sleep 0.1
    done
}
all_links_up() { [[ $(cat "$work/links" 2>/dev/null) == "$LINKS" ]]; }

wait_until 10 test -f "$work/ports" || { echo "instances: the DVR listener did not start" >&2; exit 1; }
mapfile -t ports <"$work/ports"

# The settings reader splits lines at CR LF.
started_ns=$(date +%s%N)
for ((i = 0; i < INSTANCES; i++)); do
    folder=$work/instance$i
    mkdir "$folder"
    cp build/poskavelin "$folder/"
    {
        printf '%s\r\n' '[Setup]' 'AutoRun=1' 'Hide=1'
        for ((row = 1; row <= ROWS; row++)); do
            read -r dvr_port pos_port <<<"${ports[i * ROWS + row - 1]}"
            printf '%s\r\n' "[Connection $row]" 'IP=127.0.0.1' "DVR_PORT=$dvr_port" \
                "POS_PORT=$pos_port" 'ENABLE=1'
        done
    } >"$folder/PosKavelin.ini"
    QT_QPA_PLATFORM=offscreen "$folder/poskavelin" >"$folder/stderr.log" 2>&1 &
    pids+=($!)
done
bridges=("${pids[@]:1}")

wait_until 30 all_links_up ||
    { echo "instances: only $(cat "$work/links" 2>/dev/null || echo 0) of $LINKS links up after 30 s" >&2; exit 1; }
up_ms=$((($(date +%s%N) - started_ns) / 1000000))

cpu_ticks() {  # utime + stime of every bridge, in clock ticks
    local total=0 pid fields
    for pid in "${bridges[@]}"; do
        read -ra fields <"/proc/$pid/stat"
        # The command name in field 2 has no spaces here, so fields 14 and 15 sit at 13 and 14.
        total=$((total + fields[13] + fields[14]))
    done
    echo "$total"
}
run_ns() {  # time on a CPU of every thread of every bridge, in ns (finer than clock ticks)
    local total=0 pid task ns
    for pid in "${bridges[@]}"; do
        for task in /proc/"$pid"/task/*; do
            read -r ns _ <"$task/schedstat"
            total=$((total + ns))
        done
    done
    echo "$total"
}
status_kb() {  # status_kb FILE FIELD: the field summed over every bridge (kB for sizes)
    local total=0 pid
    for pid in "${bridges[@]}"; do
        total=$((total + $(awk -v f="$2:" '$1 == f { print $2 }' "/proc/$pid/$1")))
    done
    echo "$total"
}

sleep 2  # let start-up work (font loading, first connects) end before the window opens
ticks_before=$(cpu_ticks)
ns_before=$(run_ns)
switches_before=$(($(status_kb status voluntary_ctxt_switches) + $(status_kb status nonvoluntary_ctxt_switches)))
sleep "$WINDOW"
ticks_after=$(cpu_ticks)
ns_after=$(run_ns)
switches_after=$(($(status_kb status voluntary_ctxt_switches) + $(status_kb status nonvoluntary_ctxt_switches)))
all_links_up || { echo "instances: links dropped during the window" >&2; exit 1; }
for pid in "${bridges[@]}"; do
    kill -0 "$pid" || { echo "instances: a bridge ended during the window" >&2; exit 1; }
done

rss_kb=$(status_kb status VmRSS)
pss_kb=$(status_kb smaps_rollup Pss)
threads=$(status_kb status Threads)
hz=$(getconf CLK_TCK)
cpu_ms=$(((ticks_after - ticks_before) * 1000 / hz))
run_us=$(((ns_after - ns_before) / 1000))

mb() { awk -v kb="$1" -v n="${2:-1}" 'BEGIN { printf "%.1f", kb / 1024 / n }'; }
percent() { awk -v us="$1" -v n="${2:-1}" -v w="$WINDOW" 'BEGIN { printf "%.4f", us / 1e4 / w / n }'; }

cat >"$OUT" <<EOF
# What instances cost

- Command: \`bench/instances.sh $INSTANCES $WINDOW\`
- Run: $(date -u '+%Y-%m-%d %H:%M UTC'), built from $(git rev-parse --short HEAD 2>/dev/null || echo unknown)
- Machine: $(nproc) CPUs (nproc), $(uname -sr), Qt $(dpkg-query -W -f '${Version}' libqt6core6 2>/dev/null || echo unknown); other engineers' builds share the machine
- Set-up: $INSTANCES instances, each with $ROWS rows linked to $ROWS DVRs on 127.0.0.1 (one python listener for all $LINKS), offscreen, hidden, no terminal connected, no printer
- All $LINKS DVR links up ${up_ms} ms after the first instance was started

| Figure | all $INSTANCES | per instance |
| --- | ---: | ---: |
| Resident memory, sum of VmRSS (MB) | $(mb "$rss_kb") | $(mb "$rss_kb" "$INSTANCES") |
| Proportional memory, sum of Pss (MB; shared libraries counted once) | $(mb "$pss_kb") | $(mb "$pss_kb" "$INSTANCES") |
| Threads | $threads | $((threads / INSTANCES)) |
| CPU over ${WINDOW} s idle, utime + stime from /proc/PID/stat (ms; counted in ${hz} Hz ticks) | $cpu_ms | $((cpu_ms / INSTANCES)) |
| CPU over ${WINDOW} s idle, time on a CPU from /proc/PID/task/*/schedstat (µs) | $run_us | $((run_us / INSTANCES)) |
| CPU over ${WINDOW} s idle (% of one core, from schedstat) | $(percent "$run_us") | $(percent "$run_us" "$INSTANCES") |
| Context switches over ${WINDOW} s idle (main threads) | $((switches_after - switches_before)) | $(((switches_after - switches_before) / INSTANCES)) |
| CPU from start until the idle window, utime + stime (ms) | $((ticks_before * 1000 / hz)) | $((ticks_before * 1000 / hz / INSTANCES)) |
EOF
cat "$OUT"
