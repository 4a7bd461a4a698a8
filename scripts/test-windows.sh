#!/usr/bin/env bash
# scripts/test-windows.sh: builds tarnLoader.exe and runs the unit tests and the end-to-end
# suite against it under Wine, in a fresh Wine prefix.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/common.sh
install_packages wine wine64 python3
scripts/build-windows.sh

export WINEDEBUG=-all
WINEPREFIX=$(mktemp -d)/wine
export WINEPREFIX
cleanup() {
    wineserver -k 2>/dev/null || true
    rm -rf "$(dirname "$WINEPREFIX")"
}
trap cleanup EXIT
# Wine's gethostbyname needs the host name to resolve, or start-up ends with "ip query failed".
if ! getent hosts "$(hostname)" >/dev/null; then
    echo "The host name $(hostname) does not resolve; Wine's address list needs it." >&2
    if [ "$(id -u)" -eq 0 ]; then
        echo "Adding it to /etc/hosts as 127.0.1.1." >&2
        echo "127.0.1.1 $(hostname)" >>/etc/hosts
    fi
fi
# A wineserver started first and kept to the end (cleanup ends it): otherwise its helpers keep
# the tests' output pipes open, and one that leaves after a quiet spell can race the next start.
# It needs the prefix's folder to exist.
mkdir -p "$WINEPREFIX"
wineserver -p
wineboot -i >/dev/null 2>&1
echo "== build-mingw (under Wine)"
ctest --test-dir build-mingw --output-on-failure --timeout 1800
print_counts build-mingw
