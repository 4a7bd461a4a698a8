# scripts/common.sh: what the build and test scripts share. Sourced, not run.

# Installs the Debian packages that are missing, when we may (root, or sudo without a prompt).
install_packages() {
    local missing=()
    local package
    for package in "$@"; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "ok installed" ||
            missing+=("$package")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "Installing ${missing[*]}"
    local sudo=""
    [ "$(id -u)" -ne 0 ] && sudo="sudo -n"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends \
        "${missing[@]}" >/dev/null
}

# Configures and builds one build folder: build_tree FOLDER [cmake options...]
build_tree() {
    local folder=$1
    shift
    cmake -S . -B "$folder" -G Ninja "$@" >/dev/null
    cmake --build "$folder" --parallel "$(nproc)"
}

# ctest --output-on-failure shows nothing of a test that passes: these lines give the counts
# of the unit tests and of the end-to-end cases, and the skipped cases, from ctest's log.
print_counts() {
    local log="$1/Testing/Temporary/LastTest.log"
    [ -f "$log" ] || return 0
    grep -hE '^\[  PASSED  \] [0-9]+ tests?\.|^skipped: |^[0-9]+ passed, [0-9]+ failed, [0-9]+ skipped$' \
        "$log" || true
}
