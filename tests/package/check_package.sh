#!/usr/bin/env bash
# Builds the Debian package with CPack from an already built tree and checks what a shop PC
# would get: the file list, the dependencies, the program starting from the unpacked tree,
# the launcher's private copy, the font aliases, the unit (verify and security) and lintian.
#   check_package.sh BUILD_DIR
set -euo pipefail

build=$(readlink -f "$1")
work=$(mktemp -d /tmp/poskavelin-package.XXXXXX)
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    rm -rf "$work"
}
trap cleanup EXIT

fail() { echo "FAIL: $*" >&2; exit 1; }

# Waits at most 10 s for a file to appear.
wait_for_file() {
    for _ in $(seq 100); do
        [[ -e $1 ]] && return 0
        sleep 0.1
    done
    fail "$1 did not appear within 10 s"
}

cpack --config "$build/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1 ||
    { cat "$work/cpack.log"; fail "cpack"; }
deb=$(echo "$work"/out/poskavelin_*_"$(dpkg --print-architecture)".deb)
[[ -f $deb ]] || fail "no package named poskavelin_<version>_<arch>.deb in $work/out"

# Every installed file, and nothing else (no stray empty folders, no files of the build).
dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { print $1, $2, $6 ($7 ? " " $7 " " $8 : "") }' |
    LC_ALL=C sort >"$work/files"
diff -u - "$work/files" <<'EOF' || fail "file list"
-rw-r--r-- root/root ./lib/systemd/system/poskavelin@.service
-rw-r--r-- root/root ./usr/lib/sysusers.d/poskavelin.conf
-rw-r--r-- root/root ./usr/share/applications/poskavelin.desktop
-rw-r--r-- root/root ./usr/share/doc/poskavelin/changelog.gz
-rw-r--r-- root/root ./usr/share/doc/poskavelin/copyright
-rw-r--r-- root/root ./usr/share/fontconfig/conf.avail/30-poskavelin-arial-black.conf
-rw-r--r-- root/root ./usr/share/icons/hicolor/256x256/apps/poskavelin.png
-rw-r--r-- root/root ./usr/share/icons/hicolor/48x48/apps/poskavelin.png
-rw-r--r-- root/root ./usr/share/icons/hicolor/scalable/apps/poskavelin.svg
-rw-r--r-- root/root ./usr/share/man/man1/poskavelin.1.gz
-rw-r--r-- root/root ./usr/share/man/man1/poskavelinctl.1.gz
-rwxr-xr-x root/root ./usr/bin/poskavelin
-rwxr-xr-x root/root ./usr/bin/poskavelinctl
-rwxr-xr-x root/root ./usr/lib/poskavelin/poskavelin
lrwxrwxrwx root/root ./etc/fonts/conf.d/30-poskavelin-arial-black.conf -> /usr/share/fontconfig/conf.avail/30-poskavelin-arial-black.conf
EOF
[[ -z $(dpkg-deb -c "$deb" | awk '$1 ~ /^d/ && $6 ~ /local/') ]] || fail "package holds /usr/local"

depends=$(dpkg-deb -f "$deb" Depends)
for pkg in qt6-qpa-plugins fonts-comic-neue fonts-roboto-unhinted libqt6widgets6 libcups2; do
    [[ ", $depends," == *", $pkg"[\ ,]* ]] || fail "Depends lacks $pkg: $depends"
done

root=$work/root
dpkg-deb -x "$deb" "$root"
program=$root/usr/lib/poskavelin/poskavelin

# The unpacked program finds its folder from its own path and creates its settings there.
QT_QPA_PLATFORM=offscreen timeout 20 "$program" >"$work/program.log" 2>&1 &
pids+=($!)
wait_for_file "$root/usr/lib/poskavelin/PosKavelin.ini"
kill "${pids[-1]}"

# The launcher replaces a stale private copy with the installed program and runs it there.
# It names the installed path, so a copy of it is pointed at the unpacked tree.
sed "s#^installed=.*#installed=$program#" "$root/usr/bin/poskavelin" >"$work/launcher"
mkdir -p "$work/data/poskavelin"
echo stale >"$work/data/poskavelin/poskavelin"
HOME=$work/home XDG_DATA_HOME=$work/data QT_QPA_PLATFORM=offscreen \
    timeout 20 sh "$work/launcher" >"$work/launcher.log" 2>&1 &
pids+=($!)
wait_for_file "$work/data/poskavelin/PosKavelin.ini"
kill "${pids[-1]}"
cmp -s "$program" "$work/data/poskavelin/poskavelin" || fail "launcher kept a stale copy"
[[ -x $work/data/poskavelin/poskavelin ]] || fail "launcher's copy is not executable"

desktop-file-validate "$root/usr/share/applications/poskavelin.desktop" ||
    fail "desktop entry"
for size in 48 256; do
    file "$root/usr/share/icons/hicolor/${size}x$size/apps/poskavelin.png" |
        grep -q "PNG image data, $size x $size" || fail "icon of $size px"
done

# The fonts the window asks for resolve, with the unpacked alias file added to the system's.
alias_file=$root$(readlink "$root/etc/fonts/conf.d/30-poskavelin-arial-black.conf")
cat >"$work/fonts.conf" <<EOF
<?xml version="1.0"?>
<!DOCTYPE fontconfig SYSTEM "urn:fontconfig:fonts.dtd">
<fontconfig><include>/etc/fonts/fonts.conf</include><include>$alias_file</include></fontconfig>
EOF
[[ $(FONTCONFIG_FILE=$work/fonts.conf fc-match -f '%{family} %{style}' "Arial Black") == *"Roboto Black"*Black* ]] ||
    fail "Arial Black is $(FONTCONFIG_FILE=$work/fonts.conf fc-match "Arial Black")"
[[ $(fc-match -f '%{family}' "Comic Sans MS") == *"Comic Neue"* ]] ||
    fail "Comic Sans MS is $(fc-match "Comic Sans MS")"

# The unit checked against a root made of this system's units plus the unpacked ones, with
# the program where the unit's bind mount puts it, and the manual page from the package.
vroot=$work/vroot
mkdir -p "$vroot/lib/systemd/system" "$vroot/var/lib/poskavelin/check"
cp -a /lib/systemd/system/. "$vroot/lib/systemd/system/"
cp "$root/lib/systemd/system/poskavelin@.service" "$vroot/lib/systemd/system/"
cp "$program" "$vroot/var/lib/poskavelin/check/"
install -D "$root/usr/bin/poskavelinctl" "$vroot/usr/bin/poskavelinctl"
MANPATH=$root/usr/share/man systemd-analyze verify --root="$vroot" poskavelin@check.service \
    >"$work/verify.log" 2>&1 || { cat "$work/verify.log"; fail "systemd-analyze verify"; }
[[ ! -s $work/verify.log ]] || { cat "$work/verify.log"; fail "systemd-analyze verify warns"; }
(cd "$vroot/lib/systemd/system" &&
    systemd-analyze security --offline=true --threshold=15 poskavelin@check.service) \
    >"$work/security.log" 2>&1 || { cat "$work/security.log"; fail "exposure above 1.5"; }
grep 'Overall exposure level' "$work/security.log"

lintian --fail-on error,warning "$deb" || fail "lintian"
echo "package checks passed: $(basename "$deb")"
