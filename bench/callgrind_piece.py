#!/usr/bin/env python3
"""Instructions the bridge spends per forwarded piece, counted by callgrind.

Wall-clock latency on a shared machine moves with other people's work; instruction counts
do not. The bridge runs under callgrind twice, carrying a few and then many 40-byte lines
on one of 16 connected channels (closed loop: each line waits for the last to reach the DVR), and the
difference between the two runs, divided by the difference in lines, is the cost of one
piece with start-up and shutdown cancelled out. Everything stays on 127.0.0.1.

usage: bench/callgrind_piece.py [--program build/poskavelin] [--lines 200,1200]
                                [--channels 16] [--env NAME=VALUE ...] [--top 25]
"""

import argparse
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

LINE = b"CH01 #%08d ESPRESSO 1x 2.40 EUR      "  # 40 bytes once formatted
DEADLINE_S = 120  # per run, start-up under callgrind included


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def ini_text(dvr_ports, pos_ports):
    text = "[Setup]\r\nHide=1\r\nAutoRun=1\r\nEnableSchedule=0\r\nEnablePrinter=0\r\n"
    for n, (dvr_port, pos_port) in enumerate(zip(dvr_ports, pos_ports), 1):
        text += (f"\r\n[Connection {n}]\r\nIP=127.0.0.1\r\nDVR_PORT={dvr_port}\r\n"
                 f"POS_PORT={pos_port}\r\nENABLE=1\r\n")
    return text


def recv_exact(sock, size, deadline):
    got = b""
    while len(got) < size:
        sock.settimeout(max(0.01, deadline - time.monotonic()))
        chunk = sock.recv(size - len(got))
        if not chunk:
            raise RuntimeError("the DVR link ended")
        got += chunk
    return got


def one_run(program, lines, channels, env_extra, out_file):
    folder = tempfile.mkdtemp(prefix="poskavelin-callgrind-")
    try:
        shutil.copy(program, os.path.join(folder, "poskavelin"))
        dvrs = []
        for _ in range(channels):
            dvrs.append(socket.socket())
            dvrs[-1].bind(("127.0.0.1", 0))
            dvrs[-1].listen(4)
        pos_ports = [free_port() for _ in range(channels)]
        with open(os.path.join(folder, "PosKavelin.ini"), "w", newline="") as f:
            f.write(ini_text([d.getsockname()[1] for d in dvrs], pos_ports))
        env = {k: v for k, v in os.environ.items()
               if k not in ("DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM")}
        env.update(env_extra)
        proc = subprocess.Popen(
            ["valgrind", "--tool=callgrind", "--callgrind-out-file=" + out_file,
             # Only the event loop: start-up differs a little from run to run.
             "--toggle-collect=QCoreApplication::exec()", "--collect-systime=yes",
             os.path.join(folder, "poskavelin")],
            cwd=folder, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + DEADLINE_S
        try:
            # Every channel up with its terminal connected, as in the benchmark; only the
            # first one carries lines.
            links, terminals = [], []
            for dvr, pos_port in zip(dvrs, pos_ports):
                dvr.settimeout(DEADLINE_S)
                links.append(dvr.accept()[0])
                while len(terminals) < len(links):
                    if time.monotonic() > deadline:
                        raise RuntimeError("a POS port never listened")
                    try:
                        terminals.append(
                            socket.create_connection(("127.0.0.1", pos_port), timeout=1))
                    except OSError:
                        time.sleep(0.05)
            link, terminal = links[0], terminals[0]
            terminal.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            for n in range(lines):
                line = LINE % n
                terminal.sendall(line)
                got = recv_exact(link, len(line) + 2, deadline)
                if got != line + b"\r\n":
                    raise RuntimeError(f"the DVR got {got!r} for {line!r}")
            for t in terminals:
                t.close()
            time.sleep(0.5)
        finally:
            proc.send_signal(signal.SIGTERM)
            try:
                proc.wait(timeout=60)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait()
    finally:
        shutil.rmtree(folder, ignore_errors=True)


def totals(out_file, inclusive, event):
    args = ["callgrind_annotate", "--threshold=100", "--auto=no", "--show=" + event,
            "--sort=" + event]
    if inclusive:
        args.append("--inclusive=yes")
    text = subprocess.run(args + [out_file], capture_output=True, text=True,
                          check=True).stdout
    total = 0
    per_function = {}
    for row in text.splitlines():
        m = re.match(r"\s*([\d,]+)\s+(?:\(\s*[\d.]+%\)\s+)?(.*\S)\s*$", row)
        if not m:
            continue
        count = int(m.group(1).replace(",", ""))
        name = re.sub(r" \[/tmp/[^]]*\]$", "", m.group(2))
        if name.endswith("PROGRAM TOTALS"):
            total = count
        elif ":" in name:
            per_function[name] = per_function.get(name, 0) + count
    return total, per_function


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--program", default="build/poskavelin")
    parser.add_argument("--lines", default="200,1200")
    parser.add_argument("--channels", type=int, default=16)
    parser.add_argument("--env", action="append", default=[])
    parser.add_argument("--top", type=int, default=25)
    parser.add_argument("--keep", help="folder to keep the two callgrind files in")
    o = parser.parse_args()
    few, many = (int(x) for x in o.lines.split(","))
    env_extra = dict(e.split("=", 1) for e in o.env)
    work = o.keep or tempfile.mkdtemp(prefix="callgrind-piece-")
    os.makedirs(work, exist_ok=True)
    files = []
    for lines in (few, many):
        path = os.path.join(work, f"callgrind.{lines}")
        one_run(o.program, lines, o.channels, env_extra, path)
        files.append(path)
    pieces = many - few
    for event, inclusive, top in (("Ir", False, o.top), ("Ir", True, o.top),
                                  ("sysCount", False, 12)):
        t0, f0 = totals(files[0], inclusive, event)
        t1, f1 = totals(files[1], inclusive, event)
        if not inclusive:
            print(f"{event} per piece in the event loop: {(t1 - t0) / pieces:.1f}"
                  f"  ({t0} for {few} lines, {t1} for {many})")
        print(f"top {'inclusive' if inclusive else 'self'} {event} per piece:")
        diff = {k: (f1.get(k, 0) - f0.get(k, 0)) / pieces for k in set(f0) | set(f1)}
        for name, cost in sorted(diff.items(), key=lambda kv: -kv[1])[:top]:
            print(f"{cost:10.1f}  {name[:140]}")
        print()
    if not o.keep:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
