#!/usr/bin/env bash
# Boots a throwaway Debian 12 system in a container with systemd as PID 1 and the given
# packages installed, runs a probe script in it once multi-user.target is reached, prints
# what the probe printed and exits with its status. The units are then tested as a shop PC
# runs them: real systemd, real journald, real users and groups.
#
#   scripts/boot-container.sh [--deb FILE.deb]... [--pkg NAME]... [--timeout S] PROBE.sh
#
# The probe runs as root as a oneshot service ordered after multi-user.target, so it must not
# wait for start-up itself to finish. The container has no network but its own loopback.
# Needs root; installs mmdebstrap and systemd-container when they are missing.
set -euo pipefail

debs=() pkgs=() timeout=180
while [[ $# -gt 1 ]]; do
    case "$1" in
        --deb) debs+=("$(readlink -f "$2")"); shift 2 ;;
        --pkg) pkgs+=("$2"); shift 2 ;;
        --timeout) timeout=$2; shift 2 ;;
        *) echo "boot-container: unknown option $1" >&2; exit 2 ;;
    esac
done
if [[ $# -ne 1 || ! -f $1 ]]; then
    echo "usage: $0 [--deb FILE]... [--pkg NAME]... [--timeout S] PROBE.sh" >&2
    exit 2
fi
probe=$(readlink -f "$1")
[[ $(id -u) -eq 0 ]] || { echo "boot-container: needs root" >&2; exit 2; }

if ! command -v mmdebstrap >/dev/null || ! command -v systemd-nspawn >/dev/null; then
    export DEBIAN_FRONTEND=noninteractive
    apt-get install -y -qq mmdebstrap systemd-container >/dev/null 2>&1 ||
        { apt-get update -qq && apt-get install -y -qq mmdebstrap systemd-container >/dev/null; }
fi

work=$(mktemp -d /tmp/poskavelin-boot.XXXXXX)
trap 'rm -rf "$work"' EXIT

# The packages come from the machine's own apt sources; local .deb files are installed by
# apt inside the new system, so their dependencies come along.
includes="systemd,systemd-sysv,dbus"
for pkg in "${pkgs[@]}"; do
    includes+=",$pkg"
done
hooks=()
for deb in "${debs[@]}"; do
    name=$(basename "$deb")
    hooks+=(--customize-hook="copy-in $deb /tmp")
    hooks+=(--customize-hook="chroot \"\$1\" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq /tmp/$name")
done
sources=/etc/apt/sources.list.d/debian.sources
[[ -f $sources ]] || sources=/etc/apt/sources.list
mmdebstrap --quiet --variant=minbase --include="$includes" "${hooks[@]}" bookworm "$work/root" \
    "$sources" >&2

install -m 0755 "$probe" "$work/root/usr/local/sbin/poskavelin-probe"
cat >"$work/root/etc/systemd/system/poskavelin-probe.service" <<'UNIT'
[Unit]
Description=poskavelin container probe
After=multi-user.target

[Service]
Type=oneshot
ExecStart=/bin/sh -c '/usr/local/sbin/poskavelin-probe >/probe.out 2>&1; echo $? >/probe.rc; systemctl poweroff --no-block'

[Install]
WantedBy=multi-user.target
UNIT
ln -s /etc/systemd/system/poskavelin-probe.service \
    "$work/root/etc/systemd/system/multi-user.target.wants/poskavelin-probe.service"

# This machine's cgroups need the unified hierarchy inside, and there is no host systemd to
# register the container with.
SYSTEMD_NSPAWN_UNIFIED_HIERARCHY=1 timeout "$timeout" systemd-nspawn -q -D "$work/root" -b \
    --private-network --register=no --keep-unit --console=passive >"$work/console.log" 2>&1 || true
if [[ ! -f $work/root/probe.rc ]]; then
    echo "boot-container: the probe did not finish within ${timeout} s; the console said:" >&2
    tail -n 40 "$work/console.log" >&2
    exit 1
fi
cat "$work/root/probe.out"
exit "$(cat "$work/root/probe.rc")"
