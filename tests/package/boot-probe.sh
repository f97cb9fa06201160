#!/bin/bash
# Runs inside a freshly booted Debian system with the package installed (scripts/boot-test.sh):
# an instance starts under systemd, an admin of the group sets it up, it links to a DVR played
# by socat, forwards a terminal's text, logs to the journal with each channel's fields, answers
# the group's poskavelinctl and nobody else's, reloads its settings, and stops cleanly.
set -uo pipefail

unit=poskavelin@front.service
folder=/var/lib/poskavelin/front
dvr_port=19001
pos_port=19002
failures=0

check() {  # check DESCRIPTION COMMAND...
    if "${@:2}"; then
        echo "ok: $1"
    else
        echo "FAILED: $1"
        failures=$((failures + 1))
    fi
}

wait_until() {  # wait_until SECONDS COMMAND...: polls every 0.2 s
    local deadline=$((SECONDS + $1))
    while ((SECONDS < deadline)); do
        "${@:2}" && return 0
        sleep 0.2
    done
    "${@:2}"
}

running() { [[ $(systemctl show -P ActiveState,SubState "$unit" | paste -sd/) == active/running ]]; }
status_says() { systemctl show -P StatusText "$unit" | grep -q "$1"; }
dvr_got() { grep -q "$1" /tmp/dvr.out 2>/dev/null; }
listening() { grep -qi ":$(printf %04X "$1") 0\+:0000 0A" /proc/net/tcp /proc/net/tcp6; }

echo "== first start, no settings yet"
check "no instance enabled or running after install" \
    test -z "$(systemctl list-units --all --plain --no-legend 'poskavelin@*')"
time_start=$SECONDS
timeout 40 systemctl start "$unit"
check "start returns once the program reported ready ($((SECONDS - time_start)) s)" running
check "settings file created beside the program" wait_until 5 test -f "$folder/PosKavelin.ini"
echo "   $(stat -c '%A %U:%G %n' "$folder" "$folder/PosKavelin.ini" | paste -sd' ')"
check "the group may write the folder and the settings" \
    test "$(stat -c '%a %U %G' "$folder") $(stat -c '%a %G' "$folder/PosKavelin.ini")" \
    = "2770 poskavelin poskavelin 660 poskavelin"

timeout 20 systemctl stop "$unit"

echo "== an admin in the group links row 1 to a DVR"
useradd --create-home --groups poskavelin shopadmin
# The reader splits lines at CR LF.
runuser -u shopadmin -- sh -c "printf '%s\r\n' '[Setup]' 'AutoRun=1' 'Hide=1' \
    '[Connection 1]' 'IP=127.0.0.1' 'DVR_PORT=$dvr_port' 'POS_PORT=$pos_port' 'ENABLE=1' \
    > $folder/PosKavelin.ini"
check "the admin's settings were written" grep -q "DVR_PORT=$dvr_port" "$folder/PosKavelin.ini"

# A stand-in for CUPS that notes each client and hangs up at once, so the program's printer
# lookup ends quickly: it shows that the sandbox lets the program reach the CUPS socket.
mkdir -p /run/cups
socat UNIX-LISTEN:/run/cups/cups.sock,fork,mode=0666 SYSTEM:'head -c 4 >>/tmp/cups.hit' &
cups=$!
socat -u TCP-LISTEN:$dvr_port,bind=127.0.0.1,reuseaddr,fork OPEN:/tmp/dvr.out,creat,append &
dvr=$!
# Enabled, as on a shop PC; it also keeps the unit loaded, so its exit status can be read
# after the stop.
timeout 40 systemctl enable --now "$unit"
check "running again" running
check "the program reached the CUPS socket" wait_until 10 test -s /tmp/cups.hit
check "STATUS reports the DVR link up" wait_until 15 status_says 'DVR links 1/[0-9]* up'

echo "== systemctl status"
systemctl status --no-pager --lines=0 "$unit" | sed 's/^/   /'
check "systemctl status shows active (running)" \
    sh -c "systemctl status --no-pager '$unit' | grep -q 'Active: active (running)'"
check "systemctl status shows the STATUS line" \
    sh -c "systemctl status --no-pager '$unit' | grep -q 'Status: \"DVR links'"

echo "== a terminal sends a receipt"
check "the terminal port listens" wait_until 10 listening $pos_port
printf 'RECEIPT 0042 TOTAL 12.50' | socat -u - TCP:127.0.0.1:$pos_port
check "the DVR received the text with CR LF" wait_until 10 dvr_got $'RECEIPT 0042 TOTAL 12.50\r'
od -c /tmp/dvr.out | head -3 | sed 's/^/   /'

echo "== watchdog"
# systemd stamps every WATCHDOG=1 it receives; the program sends one every 15 s.
watchdog_stamp() { systemctl show -P WatchdogTimestampMonotonic "$unit"; }
first_stamp=$(watchdog_stamp)
pinged_since() { [[ $(watchdog_stamp) != "$1" ]]; }
check "a watchdog ping arrives within 20 s" wait_until 20 pinged_since "$first_stamp"
echo "   WatchdogTimestampMonotonic $first_stamp -> $(watchdog_stamp)"

echo "== journal"
journalctl -u "$unit" --no-pager -o short-monotonic | tail -n 15 | sed 's/^/   /'
check "the journal shows the DVR link" \
    sh -c "journalctl -u '$unit' --no-pager | grep -q 'DVR 127.0.0.1:$dvr_port'"
journalctl -u "$unit" --no-pager -o cat CHANNEL=1 >/tmp/channel1.out
echo "   journalctl -u $unit CHANNEL=1:"
sed 's/^/   /' /tmp/channel1.out
check "CHANNEL=1 holds the channel's link and terminal lines" sh -c "
    grep -q 'channel 1: DVR 127.0.0.1:$dvr_port link up' /tmp/channel1.out &&
    grep -q 'channel 1: terminal 127.0.0.1:[0-9]* gone after' /tmp/channel1.out"
check "and only the channel's own" sh -c "! grep -v '^poskavelin\.[a-z]*: channel 1: ' /tmp/channel1.out"
gone_id=4750bfd31d134f288ae471006503ef7f
journalctl -u "$unit" --no-pager -o verbose MESSAGE_ID=$gone_id >/tmp/gone.out
grep -E '^ +[A-Z][A-Z_]*=' /tmp/gone.out | sed 's/^/   /'
check "a terminal's end carries its peer and duration" \
    sh -c "grep -q 'PEER=127.0.0.1:' /tmp/gone.out && grep -q 'DURATION_MS=[0-9]' /tmp/gone.out"
check "Qt has its private runtime folder without a warning" \
    sh -c "! journalctl -u '$unit' --no-pager | grep -q QStandardPaths"

echo "== poskavelinctl and systemctl reload"
echo "   $(stat -c '%a %U:%G %n' /run/poskavelin /run/poskavelin/front \
    /run/poskavelin/front/control | paste -sd' ')"
runuser -u shopadmin -- poskavelinctl status front >/tmp/status.out 2>&1
sed 's/^/   /' /tmp/status.out
check "the group's admin sees the rows" grep -q "^ *1 .*127.0.0.1:$dvr_port" /tmp/status.out
useradd --create-home outsider
runuser -u outsider -- poskavelinctl status front >/tmp/outsider.out 2>&1
outsider_status=$?
sed 's/^/   /' /tmp/outsider.out
check "a user outside the group is refused" \
    sh -c "[ $outsider_status -ne 0 ] && grep -q 'permission denied' /tmp/outsider.out"
# Row 2 changes from nothing to a DVR of its own: once reload returns, the bridge has it.
install -m 0644 "$folder/PosKavelin.ini" /tmp/PosKavelin.ini.before
runuser -u shopadmin -- sh -c "printf '%s\r\n' '[Connection 2]' 'IP=127.0.0.1' \
    'DVR_PORT=$((dvr_port + 10))' 'POS_PORT=$((pos_port + 10))' 'ENABLE=1' \
    >> $folder/PosKavelin.ini"
check "systemctl reload succeeds" timeout 30 systemctl reload "$unit"
runuser -u shopadmin -- poskavelinctl status front >/tmp/status.out 2>&1
sed 's/^/   /' /tmp/status.out
check "the change is in effect when reload returns" \
    grep -q "^ *2 .*127.0.0.1:$((dvr_port + 10))" /tmp/status.out
runuser -u shopadmin -- sh -c "printf '%s\r\n' 'ALLOW=10.0.0.300' >> $folder/PosKavelin.ini"
check "a reload of a bad file fails" sh -c "! timeout 30 systemctl reload '$unit'"
check "and leaves the bridge running" running
runuser -u shopadmin -- cp /tmp/PosKavelin.ini.before "$folder/PosKavelin.ini"
check "the reload after the file is restored succeeds" timeout 30 systemctl reload "$unit"

echo "== stop"
time_stop=$SECONDS
timeout 20 systemctl stop "$unit"
exit_status="$(systemctl show -P ExecMainCode "$unit")/$(systemctl show -P ExecMainStatus "$unit")"
exit_status+="/$(systemctl show -P Result "$unit")"
echo "   ExecMainCode/ExecMainStatus/Result: $exit_status, stopped in $((SECONDS - time_stop)) s"
# Code 1 is a normal exit; a death by signal would be 2, which systemd also counts as success.
check "the program exited by itself with status 0" test "$exit_status" = 1/0/success
check "the log is beside the program" test -s "$folder/PosKavelin.log"
check "the settings survived" grep -q "DVR_PORT=$dvr_port" "$folder/PosKavelin.ini"
ls -l "$folder" | sed 's/^/   /'

echo "== removal stops the instance, purging deletes its folder and its enablement"
timeout 40 systemctl start "$unit"
DEBIAN_FRONTEND=noninteractive timeout 60 dpkg --remove poskavelin >/dev/null
check "removal stopped the running instance" sh -c "! systemctl -q is-active '$unit'"
check "removal kept the settings" test -f "$folder/PosKavelin.ini"
DEBIAN_FRONTEND=noninteractive timeout 60 dpkg --purge poskavelin >/dev/null
check "purge deleted /var/lib/poskavelin" test ! -e /var/lib/poskavelin
check "purge deleted the enabled instance" \
    test ! -e "/etc/systemd/system/multi-user.target.wants/$unit"

kill "$dvr" "$cups" 2>/dev/null
echo "== $failures failed"
exit $((failures > 0))
