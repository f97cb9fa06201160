#!/usr/bin/env bash
# The Windows build, cross-compiled on Debian 12 with mingw-w64:
#   scripts/windows.sh prepare  installs what the others need, and the deb-src entry
#   scripts/windows.sh qt       builds Qt for Windows from Debian's own sources, once
#   scripts/windows.sh build    the same, then build-windows/poskavelin.exe
#   scripts/windows.sh test     builds, then runs the suites that cross-compile under wine,
#                               then installs the installer under wine and drives the program
#   scripts/windows.sh package  builds, then the installer and the zip with CPack
# Qt is built into ${POSKAVELIN_CACHE:-~/.cache/poskavelin}, outside the repository, in a
# folder named by a hash of its recipe, so changing the recipe builds it again. A ready build
# of that folder in ../shared/cache (beside the repository), with its checksum in
# SHA256SUMS there, is unpacked instead of building.
set -euo pipefail

cd "$(dirname "${BASH_SOURCE[0]}")/.."
readonly SOURCE_DIR=$PWD
readonly BUILD_DIR=${BUILD_DIR:-build-windows}
readonly CACHE_DIR=${POSKAVELIN_CACHE:-$HOME/.cache/poskavelin}
readonly TOOLCHAIN=$SOURCE_DIR/cmake/mingw-w64-x86_64.cmake
readonly READY_DIR=$SOURCE_DIR/../shared/cache
readonly QT_VERSION=6.4.2
readonly ICU_VERSION=72.1
# The host's Qt of the same version lends its moc, rcc and uic to the Windows build.
readonly QT_PACKAGES=(g++-mingw-w64-x86-64-posix dpkg-dev xz-utils cmake ninja-build
    qt6-base-dev qt6-base-dev-tools)
# socat makes the pseudo-terminals that wine offers the serial suite as COM ports.
readonly TEST_PACKAGES=(wine64 xvfb xauth socat)
readonly PACKAGE_PACKAGES=(nsis zip icoutils)
# Other engineers share this machine: every compile yields to them.
readonly JOBS=2
readonly NICE=(nice -n 19)

# What Qt is built with. Debian's source drops wintab.h, which tablet events need; the
# bridge draws no OpenGL, speaks no D-Bus and keeps no database. ICU gives Windows the same
# code pages, and the same conversions of them, as Debian's Qt has on Linux.
readonly QT_RECIPE=(
    -release -shared
    -xplatform win32-g++
    -qt-host-path /usr
    -nomake examples -nomake tests
    -no-opengl -no-dbus -no-feature-sql
    -no-feature-tabletevent
    -qt-zlib -qt-pcre -qt-libpng -qt-libjpeg -qt-freetype -qt-harfbuzz
    -icu
)
# ICU's own data, tools and tests are left out: Qt needs its libraries and the data that
# comes prebuilt in the source.
readonly ICU_RECIPE=(--disable-tests --disable-samples --disable-extras --disable-icuio
    --disable-layoutex)

# shellcheck source=scripts/install-missing.sh
source scripts/install-missing.sh

# The system's package source entries, one line each: type, URIs, suites, components and
# Signed-By, tab-separated (lists within a field separated by blanks). Both formats are read:
# one-line entries in *.list, deb822 stanzas in *.sources; a disabled stanza and files apt
# itself ignores are left out. A Signed-By holding a key itself keeps its lines, joined by
# \037, so it can be written back unchanged.
debian_sources() {
    local files=()
    [[ -f /etc/apt/sources.list ]] && files+=(/etc/apt/sources.list)
    local file
    for file in /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources; do
        [[ -f $file ]] && files+=("$file")
    done
    [[ ${#files[@]} -eq 0 ]] && return 0
    awk '
        function flush() {
            if (types != "" && tolower(enabled) != "no") {
                n = split(types, t, " ")
                for (i = 1; i <= n; i++) {
                    printf "%s\t%s\t%s\t%s\t%s\n", t[i], uris, suites, comps, signedby
                }
            }
            types = uris = suites = comps = signedby = enabled = key = ""
        }
        function trim(s) { gsub(/^[ \t]+|[ \t]+$/, "", s); return s }
        FNR == 1 { flush() }
        FILENAME ~ /\.sources$/ {
            if ($0 ~ /^#/) next
            if ($0 ~ /^[ \t]*$/) { flush(); next }
            if ($0 ~ /^[ \t]/) {
                if (key == "signed-by") signedby = signedby "\037" $0
                if (key == "types") types = trim(types " " trim($0))
                else if (key == "uris") uris = trim(uris " " trim($0))
                else if (key == "suites") suites = trim(suites " " trim($0))
                else if (key == "components") comps = trim(comps " " trim($0))
                next
            }
            colon = index($0, ":")
            key = tolower(trim(substr($0, 1, colon - 1)))
            val = trim(substr($0, colon + 1))
            if (key == "types") types = val
            else if (key == "uris") uris = val
            else if (key == "suites") suites = val
            else if (key == "components") comps = val
            else if (key == "signed-by") signedby = val
            else if (key == "enabled") enabled = val
            next
        }
        {
            line = $0
            sub(/#.*/, "", line)
            if (line !~ /^[ \t]*deb(-src)?[ \t]/) next
            type = line; sub(/^[ \t]*/, "", type); sub(/[ \t].*/, "", type)
            rest = substr(line, index(line, type) + length(type))
            opts = ""
            if (rest ~ /^[ \t]*\[/) {
                opts = substr(rest, index(rest, "[") + 1)
                rest = substr(opts, index(opts, "]") + 1)
                opts = substr(opts, 1, index(opts, "]") - 1)
            }
            n = split(trim(rest), f, /[ \t]+/)
            if (n < 3) next
            key_ = ""
            m = split(opts, o, /[ \t]+/)
            for (i = 1; i <= m; i++) {
                if (tolower(o[i]) ~ /^signed-by=/) key_ = substr(o[i], 11)
            }
            c = f[3]
            for (i = 4; i <= n; i++) c = c " " f[i]
            printf "%s\t%s\t%s\t%s\t%s\n", type, f[1], f[2], c, key_
        }
        END { flush() }
    ' "${files[@]}"
}

# apt-get source needs a deb-src entry for bookworm main. One is added beside the system's
# own, with the URIs and keys of the system's own entries for that suite, so it goes through
# whatever mirror or proxy the machine is set up with. An entry for the main archive under
# another name (stable) lends its URIs when none names bookworm.
ensure_deb_src() {
    local sources
    sources=$(debian_sources)
    local has='function has(list, word,   n, i, w) {
        n = split(list, w, " "); for (i = 1; i <= n; i++) if (w[i] == word) return 1; return 0 }'
    if awk -F'\t' "$has"' $1 == "deb-src" && has($3, "bookworm") && has($4, "main") { found = 1 }
            END { exit !found }' <<<"$sources"; then
        return 0
    fi
    local entries
    entries=$(awk -F'\t' "$has"'
        $1 == "deb" && has($4, "main") && has($3, "bookworm") { named[++n] = $2 "\t" $5 }
        $1 == "deb" && has($4, "main") { k = split($3, s, " ")
            for (i = 1; i <= k; i++) if (s[i] !~ /-/) { other[++m] = $2 "\t" $5; break } }
        END { if (n) for (i = 1; i <= n; i++) print named[i]
              else for (i = 1; i <= m; i++) print other[i] }' <<<"$sources")
    if [[ -z $entries ]]; then
        echo "windows.sh: no Debian source entry for bookworm main to copy; add a deb-src" \
            "entry for bookworm main to /etc/apt/sources.list.d/ and run this again" >&2
        exit 1
    fi
    local stanzas="" uris signed_by
    while IFS=$'\t' read -r uris signed_by; do
        stanzas+="Types: deb-src"$'\n'"URIs: $uris"$'\n'"Suites: bookworm"$'\n'"Components: main"$'\n'
        if [[ $signed_by == $'\037'* ]]; then
            # A key held in the entry starts on the line after the field's name.
            stanzas+="Signed-By:${signed_by//$'\037'/$'\n'}"$'\n'
        elif [[ -n $signed_by ]]; then
            stanzas+="Signed-By: $signed_by"$'\n'
        fi
        stanzas+=$'\n'
    done <<<"$entries"
    echo "windows.sh: adding a deb-src entry for bookworm main from the system's own entries"
    printf '%s' "$stanzas" | as_root tee /etc/apt/sources.list.d/poskavelin-src.sources >/dev/null
    as_root apt-get update
}

recipe_hash() {
    { printf '%s\n' "${QT_VERSION}" "${QT_RECIPE[@]}" "${ICU_VERSION}" "${ICU_RECIPE[@]}"
        cat "$TOOLCHAIN"; } | sha256sum | cut -c1-12
}

qt_prefix() {
    echo "$CACHE_DIR/qt-$QT_VERSION-mingw-$(recipe_hash)"
}

# ICU for Windows needs a build of ICU for this machine first, whose tools make its data
# library. Both are put in the Qt folder's staging root, so Qt finds ICU there and one
# folder holds every DLL the program needs.
build_icu() {
    local work=$1 prefix=$2
    (
        cd "$work"
        apt-get source --only-source icu >icu-source.log 2>&1
        local src
        src=$(find "$work" -maxdepth 1 -type d -name "icu-$ICU_VERSION*" | head -n1)/source
        mkdir icu-host icu-windows
        cd icu-host
        "${NICE[@]}" "$src/configure" "${ICU_RECIPE[@]}" >../icu-host.log 2>&1
        "${NICE[@]}" make -j"$JOBS" >>../icu-host.log 2>&1
        cd ../icu-windows
        "${NICE[@]}" "$src/configure" --host=x86_64-w64-mingw32 --with-cross-build="$work/icu-host" \
            --prefix="$prefix" --disable-tools "${ICU_RECIPE[@]}" \
            CC=x86_64-w64-mingw32-gcc-posix CXX=x86_64-w64-mingw32-g++-posix >../icu-windows.log 2>&1
        "${NICE[@]}" make -j"$JOBS" >>../icu-windows.log 2>&1
        make DESTDIR="$work/stage" install >>../icu-windows.log 2>&1
    )
}

# Unpacks the ready build of the folder $1 from READY_DIR, when there is one for this recipe
# and its checksum holds; false leaves nothing behind. The archive was made in
# /root/.cache/poskavelin and its qmake, pkg-config and ICU files name that place; CMake's
# files find Qt from where they lie. Unpacked anywhere else, those names are moved to the
# new place, so every file says where the folder is.
unpack_ready_qt() {
    local prefix=$1
    local name
    name=$(basename "$prefix")
    [[ -f $READY_DIR/$name.tar.xz ]] || return 1
    if ! (cd "$READY_DIR" && grep -E "^[0-9a-f]{64} [ *]$name\.tar\.xz\$" SHA256SUMS 2>/dev/null |
        sha256sum --check --status --strict); then
        echo "windows.sh: $READY_DIR/$name.tar.xz does not match its SHA256SUMS entry; building" >&2
        return 1
    fi
    mkdir -p "$CACHE_DIR"
    local work
    work=$(mktemp -d "$CACHE_DIR/.qt-unpack.XXXXXX")
    echo "windows.sh: unpacking the ready Qt for Windows from $READY_DIR/$name.tar.xz"
    if ! tar -xJf "$READY_DIR/$name.tar.xz" -C "$work" "$name" || [[ ! -f $work/$name/bin/qt-cmake ]]; then
        echo "windows.sh: $name.tar.xz does not hold $name/bin/qt-cmake; building" >&2
        rm -rf "$work"
        return 1
    fi
    local built
    built=$(sed -n 's/^ *set(qtbi_orig_prefix "\(.*\)")$/\1/p' \
        "$work/$name/lib/cmake/Qt6BuildInternals/QtBuildInternalsExtra.cmake")
    if [[ -n $built && $built != "$prefix" ]]; then
        grep -rlIF --null "$built" "$work/$name" | xargs -0 -r sed -i "s|$built|$prefix|g"
        # qmake's own paths are relative: Windows' files to bin, the host's to /usr.
        sed -i -e "s|^HostPrefix=.*|HostPrefix=$(realpath -m --relative-to="$prefix/bin" /usr)|" \
            -e "s|^HostData=.*|HostData=$(realpath -m --relative-to=/usr "$prefix")|" \
            "$work/$name/bin/target_qt.conf"
    fi
    mv "$work/$name" "$prefix"
    rm -rf "$work"
}

# Configured with the final prefix and installed into a staging root, so the folder in the
# cache appears only whole and its files name the place they end up in.
build_qt() {
    install_missing "${QT_PACKAGES[@]}"
    local prefix
    prefix=$(qt_prefix)
    if [[ -f $prefix/bin/qt-cmake ]] || unpack_ready_qt "$prefix"; then
        return 0
    fi
    ensure_deb_src
    mkdir -p "$CACHE_DIR"
    local work
    work=$(mktemp -d "$CACHE_DIR/.qt-build.XXXXXX")
    echo "windows.sh: building Qt $QT_VERSION for Windows in $work (about 50 min on 2 cores)"
    local started=$SECONDS
    (
        build_icu "$work" "$prefix"
        local icu=$work/stage$prefix
        cd "$work"
        apt-get source --only-source qt6-base >source.log 2>&1
        local src
        src=$(find . -maxdepth 1 -type d -name "qt6-base-$QT_VERSION*" | head -n1)
        mkdir build
        cd build
        "${NICE[@]}" "../$src/configure" -prefix "$prefix" "${QT_RECIPE[@]}" -- \
            -G Ninja \
            -DCMAKE_TOOLCHAIN_FILE="$TOOLCHAIN" \
            -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake \
            -DCMAKE_FIND_ROOT_PATH="$icu" -DICU_ROOT="$icu" \
            >../configure.log 2>&1
        grep -q 'ICU .* yes' ../configure.log || {
            echo "windows.sh: Qt's configure did not find ICU for Windows" >&2
            exit 1
        }
        "${NICE[@]}" cmake --build . -j"$JOBS" >../build.log 2>&1
        DESTDIR="$work/stage" cmake --install . >../install.log 2>&1
    ) || {
        echo "windows.sh: the Qt build failed; its logs are in $work" >&2
        tail -n 30 "$work"/*.log >&2 || true
        exit 1
    }
    mv "$work/stage$prefix" "$prefix"
    rm -rf "$work"
    echo "windows.sh: Qt built in $(((SECONDS - started) / 60)) min into $prefix"
}

build() {
    build_qt
    local prefix
    prefix=$(qt_prefix)
    "$prefix/bin/qt-cmake" -S . -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DQT_CHAINLOAD_TOOLCHAIN_FILE="$TOOLCHAIN" \
        -DCMAKE_CROSSCOMPILING_EMULATOR="$SOURCE_DIR/scripts/wine-run.sh;$prefix/bin" \
        >/dev/null
    "${NICE[@]}" cmake --build "$BUILD_DIR" -j"$JOBS"
}

# CPack's NSIS and ZIP generators, from what `cmake --install` lays out; icotool gives the
# program and the installer their icon.
package() {
    install_missing "${PACKAGE_PACKAGES[@]}"
    build
    local log
    log=$(cd "$BUILD_DIR" && "${NICE[@]}" cpack 2>&1) || {
        echo "$log" >&2
        exit 1
    }
    sed -n 's/^CPack: - package: \(.*\) generated\.$/\1/p' <<<"$log"
}

case "${1:-}" in
    prepare)
        install_missing "${QT_PACKAGES[@]}" "${TEST_PACKAGES[@]}" "${PACKAGE_PACKAGES[@]}"
        ensure_deb_src
        ;;
    qt)
        build_qt
        echo "windows.sh: Qt for Windows is in $(qt_prefix)"
        ;;
    build)
        build
        ;;
    package)
        package
        ;;
    test)
        install_missing "${TEST_PACKAGES[@]}"
        build
        ctest --test-dir "$BUILD_DIR" --output-on-failure
        package >/dev/null && tests/package/windows-e2e.sh "$BUILD_DIR"
        ;;
    *)
        echo "usage: $0 prepare|qt|build|test|package" >&2
        exit 2
        ;;
esac
