#!/usr/bin/env bash
# Installs the Windows installer under wine as a shop PC would and drives the installed
# program: silent install into a wine prefix of its own, the first start creating
# PosKavelin.ini beside the program, one channel forwarding a terminal's text to a DVR on
# loopback, poskavelinctl.exe asking it for its status, metrics and a reload over its control
# pipe, a serial till and receipt printer on COM ports, closing the window ending the program
# with code 0, and the uninstaller keeping the settings. The program runs from its install folder alone: no WINEPATH, so a DLL the
# installer lacks fails the start. Screenshots are left in BUILD_DIR/windows-e2e/.
#   windows-e2e.sh BUILD_DIR      (after scripts/windows.sh package)
set -euo pipefail

build=$(readlink -f "$1")
work=$build/windows-e2e
readonly WINE=/usr/lib/wine/wine64
readonly TITLE="POS LAN Kavelin"
readonly PACKAGES=(wine64 xvfb imagemagick xdotool python3 socat)

# shellcheck source=scripts/install-missing.sh
source "$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")/../../scripts/install-missing.sh"

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

install_missing "${PACKAGES[@]}"
installer=$(find "$build" -maxdepth 1 -name 'poskavelin-*-win64.exe' | sort -V | tail -n1)
[[ -n $installer ]] || fail "no poskavelin-*-win64.exe in $build (run scripts/windows.sh package)"

rm -rf "$work"
mkdir -p "$work"
export WINEPREFIX=$work/wine WINEDEBUG=-all WINEDLLOVERRIDES='mscoree,mshtml='
unset WINEPATH

pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    /usr/lib/wine/wineserver -k 2>/dev/null || true
}
trap cleanup EXIT

# Waits at most $1 tenths of a second for the command that follows to succeed.
wait_until() {
    local tenths=$1
    shift
    for _ in $(seq "$tenths"); do
        "$@" && return 0
        sleep 0.1
    done
    return 1
}

# A display of our own; Xvfb picks a free number and writes it to the descriptor.
Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$work/display" 2>"$work/xvfb.log" &
pids+=($!)
wait_until 100 test -s "$work/display" || fail "Xvfb did not start"
DISPLAY=:$(cat "$work/display")
export DISPLAY

user=$(id -un)
folder=$WINEPREFIX/drive_c/users/$user/AppData/Local/Programs/PosKavelin
win_folder="C:\\users\\$user\\AppData\\Local\\Programs\\PosKavelin"
menu=$WINEPREFIX/drive_c/users/$user/AppData/Roaming/Microsoft/Windows/Start\ Menu/Programs

echo "windows-e2e: installing $(basename "$installer") silently"
timeout 300 "$WINE" "$installer" /S >"$work/install.log" 2>&1 || fail "installer exited with $?"
for file in poskavelin.exe poskavelinctl.exe qt.conf Uninstall.exe Qt6Core.dll Qt6Gui.dll Qt6Widgets.dll \
    Qt6Network.dll Qt6PrintSupport.dll libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll \
    plugins/platforms/qwindows.dll; do
    [[ -f $folder/$file ]] || fail "$file is not in $folder"
done
compgen -G "$folder/icuuc*.dll" >/dev/null || fail "no ICU DLL in $folder"
[[ -f $menu/$TITLE.lnk ]] || fail "no Start menu entry"
[[ ! -e $menu/StartUp/$TITLE.lnk ]] || fail "a Startup shortcut that was not chosen"

# Starts the installed program in the background; its pid is in $program.
start_program() {
    timeout 120 "$WINE" "$win_folder\\poskavelin.exe" >>"$work/program.log" 2>&1 &
    program=$!
    pids+=("$program")
}

window_id() {
    xdotool search --name "^$TITLE" 2>/dev/null | head -n1
}

has_window() {
    [[ -n $(window_id) ]]
}

# Closes the window as its close box would (Alt+F4 gives it WM_CLOSE) and expects the
# program to end with code 0 within 15 s.
close_and_expect_exit() {
    local id
    id=$(window_id)
    xdotool windowfocus --sync "$id"
    xdotool key --clearmodifiers alt+F4
    wait_until 150 bash -c "! kill -0 $program 2>/dev/null" ||
        fail "the program did not end within 15 s of closing its window"
    local rc=0
    wait "$program" || rc=$?
    [[ $rc -eq 0 ]] || fail "the program ended with code $rc"
}

echo "windows-e2e: first start"
start_program
wait_until 600 has_window || fail "no window within 60 s"
wait_until 100 test -f "$folder/PosKavelin.ini" || fail "PosKavelin.ini was not created"
sleep 1  # let the window paint before the picture
import -window root "$work/first-start.png"
close_and_expect_exit

# A DVR on loopback that records what it receives until the link closes: start_dvr NAME
# leaves its port in NAME.port and its bytes in NAME.bytes.
start_dvr() {
    python3 - "$work/$1.port" "$work/$1.bytes" <<'EOF' &
import socket, sys
server = socket.create_server(("127.0.0.1", 0))
open(sys.argv[1] + ".tmp", "w").write(str(server.getsockname()[1]))
__import__("os").replace(sys.argv[1] + ".tmp", sys.argv[1])
server.settimeout(60)
link, _ = server.accept()
link.settimeout(60)
with open(sys.argv[2], "wb", buffering=0) as out:
    while chunk := link.recv(4096):
        out.write(chunk)
EOF
    pids+=($!)
    wait_until 100 test -s "$work/$1.port" || fail "the fake DVR $1 did not start"
}
free_port() {
    python3 -c 'import socket; s = socket.create_server(("127.0.0.1", 0)); print(s.getsockname()[1])'
}
start_dvr dvr
start_dvr dvr2
pos_port=$(free_port)

# Channel 2 is a serial till with a serial receipt printer behind the bridge, on COM5 and
# COM6, which wine maps to one end of a socat pseudo-terminal pair each; the till and the
# printer are the other ends.
for pair in till:com5 printer:com6; do
    socat "pty,raw,echo=0,link=$work/${pair%%:*}" "pty,raw,echo=0,link=$work/${pair##*:}" &
    pids+=($!)
    wait_until 100 test -e "$work/${pair##*:}" || fail "socat made no ${pair##*:}"
    ln -sfn "$work/${pair##*:}" "$WINEPREFIX/dosdevices/${pair##*:}"
done
printf '[Setup]\r\nAutoRun=1\r\n\r\n[Connection 1]\r\nIP=127.0.0.1\r\nDVR_PORT=%s\r\nPOS_PORT=%s\r\nENABLE=1\r\n' \
    "$(cat "$work/dvr.port")" "$pos_port" >"$folder/PosKavelin.ini"
printf '\r\n[Connection 2]\r\nIP=127.0.0.1\r\nDVR_PORT=%s\r\nPOS_PORT=%s\r\nENABLE=1\r\nPOS_SERIAL=COM5\r\nBAUD=115200\r\nRECEIPT_PRINTER=serial:COM6\r\nPRINTER_BAUD=115200\r\n' \
    "$(cat "$work/dvr2.port")" "$(free_port)" >>"$folder/PosKavelin.ini"

echo "windows-e2e: forwarding with channel 1"
start_program
wait_until 600 has_window || fail "no window within 60 s"
# The channel listens for its terminal once its DVR link is up.
python3 - "$pos_port" <<'EOF' || fail "the terminal could not send"
import socket, sys, time
deadline = time.monotonic() + 30
while True:
    try:
        terminal = socket.create_connection(("127.0.0.1", int(sys.argv[1])), timeout=2)
        break
    except OSError:
        if time.monotonic() > deadline:
            sys.exit("POS port %s never listened" % sys.argv[1])
        time.sleep(0.2)
terminal.sendall(b"hello")
terminal.close()
EOF
printf 'hello\r\n' >"$work/expected.bytes"
wait_until 100 cmp -s "$work/dvr.bytes" "$work/expected.bytes" ||
    fail "the DVR got $(od -c "$work/dvr.bytes" 2>/dev/null | head -n2) instead of hello CR LF"

# poskavelinctl.exe beside the program asks it over its control pipe, as a user would.
ctl() {
    timeout 60 "$WINE" "$win_folder\\poskavelinctl.exe" "$@" 2>>"$work/ctl.log" | tr -d '\r'
}

echo "windows-e2e: a serial till and printer on channel 2"
status_shows() {
    ctl status | grep -Eq "$1"
}
wait_until 300 status_shows "^ +2 +listening +COM5 .*connected +COM6 " ||
    fail "channel 2 did not open COM5 and COM6: $(ctl status)"
# The till's bytes reach the printer as they are and the DVR with CR LF; the printer's
# answer (a status byte) reaches the till.
python3 - "$work/till" "$work/printer" <<'EOF' || fail "the serial printer line on channel 2 failed"
import os, select, sys, time, tty
till, printer = (os.open(path, os.O_RDWR | os.O_NOCTTY) for path in sys.argv[1:3])
for fd in (till, printer):
    tty.setraw(fd)
def expect(fd, wanted):
    got, deadline = b"", time.monotonic() + 10
    while len(got) < len(wanted) and time.monotonic() < deadline:
        if select.select([fd], [], [], 0.2)[0]:
            got += os.read(fd, 4096)
    if got != wanted:
        sys.exit("expected %r, got %r" % (wanted, got))
os.write(till, b"hello2\x1bi")
expect(printer, b"hello2\x1bi")
os.write(printer, b"\x12")
expect(till, b"\x12")
EOF
printf 'hello2\033i\r\n' >"$work/expected2.bytes"
wait_until 100 cmp -s "$work/dvr2.bytes" "$work/expected2.bytes" ||
    fail "DVR 2 got $(od -c "$work/dvr2.bytes" 2>/dev/null | head -n2) instead of the till's bytes"
echo "windows-e2e: poskavelinctl.exe status, metrics and reload"
dvr_port=$(cat "$work/dvr.port")
ctl status >"$work/status.txt" || fail "poskavelinctl.exe status failed: $(cat "$work/ctl.log")"
# No printer line: the PRINTER column shows "-".
grep -Eq "^ +1 +listening +connected 127\.0\.0\.1:$dvr_port +- +1 +5 " "$work/status.txt" ||
    fail "status shows no forwarding channel 1: $(cat "$work/status.txt")"
ctl metrics >"$work/metrics.txt" || fail "poskavelinctl.exe metrics failed"
grep -qx 'poskavelin_dvr_link_up{channel="1"} 1' "$work/metrics.txt" ||
    fail "the metrics show no DVR link up on channel 1"
ctl reload >"$work/reload.txt" || fail "poskavelinctl.exe reload failed: $(cat "$work/ctl.log")"
grep -qx "reloaded, no row changed" "$work/reload.txt" ||
    fail "the reload of an unchanged file said: $(cat "$work/reload.txt")"
sleep 1
import -window root "$work/window.png"
close_and_expect_exit
ctl status >/dev/null && fail "poskavelinctl.exe status answered with no bridge running"
grep -q "no bridge is running" "$work/ctl.log" ||
    fail "poskavelinctl.exe did not say that no bridge runs: $(tail -n1 "$work/ctl.log")"
[[ -s $folder/PosKavelin.log ]] || fail "no PosKavelin.log beside the program"

echo "windows-e2e: uninstalling"
# _?= runs the uninstaller in place instead of from a copy it does not wait for.
timeout 120 "$WINE" "$win_folder\\Uninstall.exe" /S "_?=$win_folder" >>"$work/install.log" 2>&1 ||
    fail "uninstaller exited with $?"
for file in poskavelin.exe poskavelinctl.exe qt.conf Qt6Core.dll libstdc++-6.dll plugins; do
    [[ ! -e $folder/$file ]] || fail "the uninstaller left $file"
done
[[ ! -e $menu/$TITLE.lnk ]] || fail "the uninstaller left the Start menu entry"
[[ -f $folder/PosKavelin.ini && -f $folder/PosKavelin.log ]] ||
    fail "the uninstaller took the settings file or the log"

echo "windows-e2e: ok ($(du -h "$installer" | cut -f1) installer; screenshots $work/first-start.png, $work/window.png)"
