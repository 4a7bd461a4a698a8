#!/usr/bin/env bash
# scripts/test.sh: builds tarnLoader and runs every test: the unit tests and the end-to-end
# suite with real FTP clients. With --all it also runs what CI runs besides: the suite under
# AddressSanitizer with UndefinedBehaviorSanitizer and under ThreadSanitizer, and the Windows
# build under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/common.sh

# dpkg-dev and file: the Debian package test makes the package with CPack, which reads the
# binary's library dependencies with dpkg-shlibdeps.
install_packages cmake ninja-build g++ libgtest-dev libssl-dev openssl python3 curl wget lftp tnftp \
    aria2 rclone dpkg-dev file
# Node's basic-ftp, one of the real clients, where npm is at hand; without it its tests are
# left out.
if command -v npm >/dev/null 2>&1 && [ ! -d build-tools/node_modules/basic-ftp ]; then
    npm install --prefix build-tools --no-audit --no-fund --silent basic-ftp@5.3.1 >/dev/null \
        2>&1 || echo "Could not install Node's basic-ftp; its tests are left out"
fi

run_suite() {
    local folder=$1
    shift
    echo "== $folder"
    build_tree "$folder" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@"
    ctest --test-dir "$folder" --output-on-failure --timeout 1800
}

run_suite build-test
if [ "${1:-}" = "--all" ]; then
    # The binary that scripts/serve.sh builds: Release, where the optimiser warns of more.
    echo "== build-release"
    build_tree build-release -DCMAKE_BUILD_TYPE=Release -DTARNLOADER_TESTS=OFF
    export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
    export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
    run_suite build-asan -DTARNLOADER_SANITIZE=address,undefined
    export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
    run_suite build-tsan -DTARNLOADER_SANITIZE=thread
    scripts/fuzz.sh
    scripts/test-windows.sh
fi
