#!/usr/bin/env bash
# scripts/package.sh: makes the release packages in dist/: the Debian package of a Linux
# Release build, and the .zip (tarnLoader.exe and README) of the Windows cross-build.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/common.sh
# dpkg-dev and file: CPack's Debian generator reads the binary's library dependencies with
# dpkg-shlibdeps.
install_packages cmake ninja-build g++ libssl-dev dpkg-dev file
dist="$PWD/dist"
mkdir -p "$dist"

echo "== build-release"
build_tree build-release -DCMAKE_BUILD_TYPE=Release -DTARNLOADER_TESTS=OFF
cpack -G DEB -B "$dist" --config build-release/CPackConfig.cmake >/dev/null

echo "== build-mingw"
scripts/build-windows.sh
cpack -G ZIP -B "$dist" --config build-mingw/CPackConfig.cmake >/dev/null

rm -rf "$dist/_CPack_Packages"
[ -e LICENSE ] || [ -e LICENSE.txt ] || [ -e COPYING ] ||
    echo "Note: the tree has no licence file, so the packages carry none." >&2
echo "Made:"
ls -l "$dist"
