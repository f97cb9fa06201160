# shellcheck shell=bash
# Sourced by the scripts that set a machine up: install_missing PACKAGE... installs those
# not yet installed with apt-get, as root or through sudo, refreshing the package lists only
# when the cached ones are not enough.

as_root() {
    if [[ $(id -u) -eq 0 ]]; then
        "$@"
    else
        sudo "$@"
    fi
}

install_missing() {
    local missing=()
    for pkg in "$@"; do
        dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' ||
            missing+=("$pkg")
    done
    [[ ${#missing[@]} -eq 0 ]] && return 0
    echo "$(basename "$0"): installing ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    if ! as_root apt-get install -y --no-install-recommends "${missing[@]}"; then
        as_root apt-get update
        as_root apt-get install -y --no-install-recommends "${missing[@]}"
    fi
}
