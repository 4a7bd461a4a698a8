#!/bin/sh
# scripts/build-googletest-mingw.sh: builds GoogleTest with the mingw-w64 compiler from Debian's
# googletest source package and installs it into PREFIX, for the Windows unit-test build.
#
#   scripts/build-googletest-mingw.sh PREFIX
#   cmake -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake -DCMAKE_PREFIX_PATH=PREFIX ...
#
# Does nothing when PREFIX already holds it. GOOGLETEST_SOURCE overrides /usr/src/googletest.
set -eu

if [ $# -ne 1 ]; then
    echo "usage: $0 PREFIX" >&2
    exit 2
fi
mkdir -p "$1"
prefix=$(cd "$1" && pwd)
source=${GOOGLETEST_SOURCE:-/usr/src/googletest}
toolchain=$(cd "$(dirname "$0")/.." && pwd)/cmake/mingw-w64.cmake

if [ -f "$prefix/lib/cmake/GTest/GTestConfig.cmake" ]; then
    echo "GoogleTest for mingw-w64 is already in $prefix"
    exit 0
fi
if [ ! -f "$source/CMakeLists.txt" ]; then
    echo "$source holds no GoogleTest source; install the googletest package" >&2
    exit 1
fi

build=$(mktemp -d)
trap 'rm -rf "$build"' EXIT
# The test programs that use it are static, so GoogleTest is built as static libraries too.
cmake -S "$source" -B "$build" \
    -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
    -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_INSTALL_PREFIX="$prefix" \
    -DBUILD_SHARED_LIBS=OFF \
    -DBUILD_GMOCK=ON
cmake --build "$build" --parallel "$(nproc)"
cmake --install "$build"
