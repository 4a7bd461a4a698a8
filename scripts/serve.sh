#!/usr/bin/env bash
# scripts/serve.sh: builds tarnLoader and starts it with the given options, serving the
# current folder when no folder is given:  scripts/serve.sh [options] [ftproot]
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
(
    cd "$here"
    source scripts/common.sh
    install_packages cmake ninja-build g++ libssl-dev
    build_tree build -DCMAKE_BUILD_TYPE=Release -DTARNLOADER_TESTS=OFF >/dev/null
)
exec "$here/build/tarnLoader" "$@"
