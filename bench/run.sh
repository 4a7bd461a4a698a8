#!/usr/bin/env bash
# bench/run.sh: installs what the benchmark needs when it is missing, builds tarnLoader
# (Release) and runs bench/bench.py against it, vsftpd and pyftpdlib on loopback.
#   bench/run.sh [--quick] [--reps N] [--big-reps N] [--only WORD] [--skip SERVER]
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"
source scripts/common.sh

sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo -n"

# Installing vsftpd must not leave Debian's own instance listening on port 21: a policy-rc.d
# that refuses every start keeps the package's service down while it installs.
install_anchors() {
    local missing=()
    dpkg-query -W -f='${Status}' vsftpd 2>/dev/null | grep -q "ok installed" || missing+=(vsftpd)
    dpkg-query -W -f='${Status}' python3-pyftpdlib 2>/dev/null | grep -q "ok installed" ||
        missing+=(python3-pyftpdlib)
    [ ${#missing[@]} -eq 0 ] && return 0
    local policy=/usr/sbin/policy-rc.d
    local saved=""
    if [ -e "$policy" ]; then
        saved=$(mktemp)
        $sudo cp -p "$policy" "$saved"
    fi
    printf '#!/bin/sh\nexit 101\n' | $sudo tee "$policy" >/dev/null
    $sudo chmod 755 "$policy"
    local status=0
    install_packages "${missing[@]}" || status=$?
    if [ -n "$saved" ]; then
        $sudo cp -p "$saved" "$policy"
        rm -f "$saved"
    else
        $sudo rm -f "$policy"
    fi
    # Where systemd runs, keep the service from starting at the next boot as well.
    if command -v systemctl >/dev/null && [ -d /run/systemd/system ]; then
        $sudo systemctl disable --now vsftpd.service >/dev/null 2>&1 || true
    fi
    return $status
}

install_packages cmake ninja-build g++ gcc libssl-dev python3
install_anchors || echo "Could not install vsftpd or pyftpdlib: their columns are left out"
build_tree build-bench -DCMAKE_BUILD_TYPE=Release -DTARNLOADER_TESTS=OFF >/dev/null

# Debian's python3 is the one that sees python3-pyftpdlib.
python=/usr/bin/python3
[ -x "$python" ] || python=python3
exec "$python" bench/bench.py --binary build-bench/tarnLoader "$@"
