#!/usr/bin/env bash
# Runs a cross-built Windows program under Debian's wine64: wine-run.sh QT_BIN PROGRAM [ARGS]
# CTest calls it as the cross-compiling emulator. The program finds Qt's DLLs in QT_BIN (one
# folder, or several separated by ':', as for Qt's modules built apart) and mingw's runtime
# DLLs through WINEPATH, so nothing is copied beside it. Without a display
# it gets a virtual one, as wine's window station needs an X server even for offscreen Qt.
set -euo pipefail

qt_bin=$1
shift
readonly CACHE_DIR=${POSKAVELIN_CACHE:-$HOME/.cache/poskavelin}
# One prefix, made once: a fresh one costs about 13 s.
export WINEPREFIX=${WINEPREFIX:-$CACHE_DIR/wine}
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}

windows_path() {
    echo "Z:${1//\//\\}"
}
WINEPATH=
IFS=: read -ra qt_bins <<<"$qt_bin"
for folder in "${qt_bins[@]}"; do
    WINEPATH+="$(windows_path "$folder");"
done
WINEPATH+="$(windows_path /usr/lib/gcc/x86_64-w64-mingw32/12-posix)"
WINEPATH+=";$(windows_path /usr/x86_64-w64-mingw32/lib)"
export WINEPATH

wine=(/usr/lib/wine/wine64)
if [[ -z ${DISPLAY:-} ]]; then
    wine=(xvfb-run -a "${wine[@]}")
fi
# The program that first runs in a new prefix only sets the prefix up, and its own output
# and exit code are lost, so the prefix is made on its own first. QtTest writes its lines to
# the debugger, not stdout, when it sees no console, and wine passes no QT_ variable from
# here to the program, so the prefix's own environment tells it to use stdout.
if ! grep -qs QT_FORCE_STDERR_LOGGING "$WINEPREFIX/user.reg"; then
    "${wine[@]}" wineboot --init >/dev/null 2>&1
    /usr/lib/wine/wine64 reg add 'HKCU\Environment' /v QT_FORCE_STDERR_LOGGING /d 1 /f >/dev/null 2>&1
    /usr/lib/wine/wineserver --wait
fi
exec "${wine[@]}" "$@"
