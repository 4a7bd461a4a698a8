#!/usr/bin/env bash
# scripts/test.sh: builds tarnLoader and runs every test: the unit tests and the end-to-end
# suite with real FTP clients. With --all it also runs what CI runs besides: the suite under
# AddressSanitizer with UndefinedBehaviorSanitizer and under ThreadSanitizer, and the Windows
# build under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/common.sh

# dpkg-dev and file: the Debian package test makes the package with CPack, which reads the
# binary's library dependencies with dpkg-shlibdeps. yamllint: the workflow lint.
install_packages cmake ninja-build g++ libgtest-dev libssl-dev openssl python3 curl wget lftp tnftp \
    aria2 rclone dpkg-dev file yamllint
# npm, from Debian where the machine has none of its own, for Node's basic-ftp (one of the real
# clients) and action-validator (the workflow's schema lint). Without them their tests are
# left out.
command -v npm >/dev/null 2>&1 || install_packages npm || true
npm_install() {
    local package=$1
    command -v npm >/dev/null 2>&1 && [ ! -d "build-tools/node_modules/${package%@*}" ] &&
        { npm install --prefix build-tools --no-audit --no-fund --silent "$package" >/dev/null \
            2>&1 || echo "Could not install $package; its tests are left out"; }
    return 0
}
npm_install basic-ftp@5.3.1
npm_install @action-validator/cli@0.6.0

run_suite() {
    local folder=$1
    shift
    echo "== $folder"
    build_tree "$folder" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@"
    ctest --test-dir "$folder" --output-on-failure --timeout 1800
    print_counts "$folder"
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
