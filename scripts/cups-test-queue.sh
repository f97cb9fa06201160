#!/usr/bin/env bash
# Prepares a local CUPS scheduler with two PDF queues for the printer tests:
#   PosTestPdf and PosTestPdf2, both on the cups-pdf backend, enabled and accepting.
#   PosTestPdf2 defaults to Letter paper, so a test can tell the queue's paper from
#   Qt's own A4 default.
# cups-pdf is pointed at one fixed folder so the tests can count what it writes,
# whoever submits the job. Safe to run again: it only repairs what is missing or was
# left stopped/rejecting by an earlier run. Exits 0 when the queues are ready.
set -euo pipefail

readonly QUEUES=(PosTestPdf PosTestPdf2)
readonly PDF_OUT=/var/spool/cups-pdf/poskavelin
readonly CUPS_PDF_CONF=/etc/cups/cups-pdf.conf
readonly PACKAGES=(cups cups-client cups-bsd printer-driver-cups-pdf)

die() {
    echo "cups-test-queue: $*" >&2
    exit 1
}

as_root() {
    if [[ $(id -u) -eq 0 ]]; then
        "$@"
    else
        sudo -n "$@" || die "needs root (or password-less sudo) for: $*"
    fi
}

install_missing() {
    local missing=()
    for pkg in "${PACKAGES[@]}"; do
        if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed'; then
            missing+=("$pkg")
        fi
    done
    [[ ${#missing[@]} -eq 0 ]] && return 0
    echo "cups-test-queue: installing ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    # The package lists are only refreshed when the cached ones are not enough.
    if ! as_root apt-get install -y --no-install-recommends "${missing[@]}"; then
        as_root apt-get update || die "apt-get update failed"
        as_root apt-get install -y --no-install-recommends "${missing[@]}" ||
            die "could not install ${missing[*]}"
    fi
}

scheduler_running() {
    # lpstat exits 0 either way; only its text tells.
    LC_ALL=C lpstat -r 2>/dev/null | grep -qx 'scheduler is running'
}

wait_for_scheduler() {
    for _ in $(seq 1 100); do
        scheduler_running && return 0
        sleep 0.1
    done
    return 1
}

set_cups_pdf_key() {
    local key=$1 value=$2
    grep -qx "$key $value" "$CUPS_PDF_CONF" && return 0
    # The stock file may lack a final newline; appending would then extend its last line.
    [[ -z $(tail -c1 "$CUPS_PDF_CONF") ]] || echo | as_root tee -a "$CUPS_PDF_CONF" >/dev/null
    # The stock line is kept, commented out, so the change is easy to see and undo.
    as_root sed -i -E "s|^[[:space:]]*#?[[:space:]]*${key}[[:space:]].*\$|### & (replaced by cups-test-queue.sh)|" \
        "$CUPS_PDF_CONF"
    echo "$key $value" | as_root tee -a "$CUPS_PDF_CONF" >/dev/null
}

configure_cups_pdf() {
    [[ -f $CUPS_PDF_CONF ]] || die "$CUPS_PDF_CONF missing; is printer-driver-cups-pdf installed?"
    # cups-pdf rereads its configuration for every job, so no restart is needed.
    # One folder for every submitting user, and the job id in every file name so
    # documents with the same title do not overwrite each other.
    set_cups_pdf_key Out "$PDF_OUT"
    set_cups_pdf_key Label 1
    as_root mkdir -p "$PDF_OUT"
    as_root chmod 1777 "$PDF_OUT"
}

find_pdf_ppd() {
    local ppd
    ppd=$(lpinfo -m 2>/dev/null | awk '{print $1}' | grep -i 'cups-pdf' | grep -i '_opt\.ppd$' |
        grep -vi noopt | head -n1 || true)
    [[ -n $ppd ]] || ppd=$(lpinfo -m 2>/dev/null | awk '{print $1}' | grep -i 'cups-pdf' | head -n1 || true)
    [[ -n $ppd ]] || die "no cups-pdf PPD known to CUPS (lpinfo -m | grep -i pdf is empty)"
    echo "$ppd"
}

ensure_queue() {
    local queue=$1 ppd=$2
    if ! lpstat -v "$queue" >/dev/null 2>&1; then
        as_root lpadmin -p "$queue" -v cups-pdf:/ -m "$ppd" -E ||
            die "lpadmin could not create $queue"
    fi
    # A test that failed half-way may have left the queue stopped or rejecting.
    as_root cupsenable "$queue" || die "cupsenable $queue failed"
    as_root cupsaccept "$queue" || die "cupsaccept $queue failed"
}

queue_ready() {
    local queue=$1
    LC_ALL=C lpstat -p "$queue" 2>/dev/null | grep -q 'enabled' &&
        LC_ALL=C lpstat -a "$queue" 2>/dev/null | grep -q 'accepting requests'
}

main() {
    install_missing
    command -v lpstat >/dev/null || die "lpstat not found after installing cups-client"

    configure_cups_pdf

    if ! scheduler_running; then
        echo "cups-test-queue: starting cupsd"
        as_root mkdir -p /run/cups
        as_root cupsd || die "cupsd failed to start (see /var/log/cups/error_log)"
        wait_for_scheduler || die "cupsd started but lpstat -r does not report it running"
    fi

    local ppd
    ppd=$(find_pdf_ppd)
    for queue in "${QUEUES[@]}"; do
        ensure_queue "$queue" "$ppd"
    done
    as_root lpadmin -p PosTestPdf2 -o PageSize=Letter || die "cannot set PosTestPdf2 to Letter"
    for queue in "${QUEUES[@]}"; do
        queue_ready "$queue" || die "$queue exists but is not enabled and accepting"
    done

    echo "cups-test-queue: ready: ${QUEUES[*]} (PPD $ppd)"
    echo "cups-test-queue: cups-pdf output folder: $PDF_OUT"
}

main "$@"
