#!/usr/bin/env bash
# scripts/build-windows.sh: cross-builds the standalone Windows tarnLoader.exe (and its unit
# tests) with mingw-w64 into build-mingw/.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/common.sh
install_packages cmake ninja-build g++-mingw-w64-x86-64-posix googletest
scripts/build-googletest-mingw.sh build-mingw/googletest >/dev/null
build_tree build-mingw -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake \
    -DCMAKE_PREFIX_PATH="$PWD/build-mingw/googletest"
echo "Built $PWD/build-mingw/tarnLoader.exe"
