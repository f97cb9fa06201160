#!/usr/bin/env bash
# Runs a cross-built Windows program under Debian's wine64: wine-run.sh QT_BIN PROGRAM [ARGS]
# CTest calls it as the cross-compiling emulator. The program finds Qt's DLLs in QT_BIN and
# mingw's runtime DLLs through WINEPATH, so nothing is copied beside it. Without a display
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
WINEPATH="$(windows_path "$qt_bin")"
WINEPATH+=";$(windows_path /usr/lib/gcc/x86_64-w64-mingw32/12-posix)"
WINEPATH+=";$(windows_path /usr/x86_64-w64-mingw32/lib)"
export WINEPATH

if [[ -z ${DISPLAY:-} ]]; then
    exec xvfb-run -a /usr/lib/wine/wine64 "$@"
fi
exec /usr/lib/wine/wine64 "$@"
