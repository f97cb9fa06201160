#!/usr/bin/env bash
# One entry for a fresh Debian 12 machine:
#   scripts/dev.sh run    installs what is missing, builds, starts build/poskavelin
#   scripts/dev.sh test   installs what is missing, builds, runs every test through CTest
#   scripts/dev.sh build  the same set-up without running anything
#   scripts/dev.sh package  builds build/poskavelin_<version>_<arch>.deb with CPack
set -euo pipefail

cd "$(dirname "${BASH_SOURCE[0]}")/.."
readonly BUILD_DIR=${BUILD_DIR:-build}
readonly BUILD_PACKAGES=(cmake make g++ pkg-config qt6-base-dev qt6-serialport-dev libcups2-dev libsystemd-dev fonts-dejavu-core)
readonly TEST_PACKAGES=(cups cups-client cups-bsd printer-driver-cups-pdf poppler-utils iproute2 nftables socat prometheus)
# The fonts the installed package depends on stand in for the ones the window asks for.
readonly FONT_PACKAGES=(fonts-comic-neue fonts-roboto-unhinted)
# CPack's DEB generator reads the program's libraries with dpkg-shlibdeps and file.
readonly PACKAGE_PACKAGES=(dpkg-dev file)
# The package tests check the package with these and look up the manual page with man.
readonly PACKAGE_TEST_PACKAGES=(lintian desktop-file-utils systemd fontconfig man-db)

# shellcheck source=scripts/install-missing.sh
source scripts/install-missing.sh

build() {
    install_missing "${BUILD_PACKAGES[@]}"
    cmake -S . -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    cmake --build "$BUILD_DIR" -j"$(nproc)"
}

case "${1:-}" in
    run)
        install_missing "${FONT_PACKAGES[@]}"
        build
        exec "$BUILD_DIR/poskavelin"
        ;;
    test)
        install_missing "${TEST_PACKAGES[@]}" "${FONT_PACKAGES[@]}" "${PACKAGE_PACKAGES[@]}" \
            "${PACKAGE_TEST_PACKAGES[@]}"
        build
        ctest --test-dir "$BUILD_DIR" --output-on-failure
        ;;
    build)
        build
        ;;
    package)
        install_missing "${PACKAGE_PACKAGES[@]}"
        build
        (cd "$BUILD_DIR" && cpack)
        ;;
    *)
        echo "usage: $0 run|test|build|package" >&2
        exit 2
        ;;
esac
