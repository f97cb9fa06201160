#!/bin/sh
# Starts the bridge for a desktop user. The program keeps its settings and log beside itself,
# and /usr/lib is not the user's to write, so each user runs a private copy from a folder of
# their own. The copy is replaced when the installed program differs (after an upgrade); the
# new copy is renamed into place so that a copy that is already running keeps its old file.
set -eu

installed=/usr/lib/poskavelin/poskavelin
case "${XDG_DATA_HOME:-}" in
    /*) data_home=$XDG_DATA_HOME ;;
    *) data_home=$HOME/.local/share ;;  # the base directory rules ignore a relative path
esac
folder=$data_home/poskavelin
program=$folder/poskavelin

mkdir -p "$folder"
if ! cmp -s "$installed" "$program"; then
    staged=$(mktemp "$folder/.poskavelin.XXXXXX")
    trap 'rm -f "$staged"' EXIT
    cp "$installed" "$staged"
    chmod 0755 "$staged"
    mv -f "$staged" "$program"
    trap - EXIT
fi
exec "$program" "$@"
