#!/usr/bin/env bash
# scripts/fuzz.sh: builds the libFuzzer targets with clang into build-fuzz/ and runs each for a
# bounded time (FUZZ_SECONDS, 60 by default) on a copy of its seed corpus, after replaying the
# inputs of earlier findings. Fails on any crash, hang, leak, sanitizer report or broken
# property, and prints the executions per target.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/common.sh

install_packages cmake ninja-build clang libssl-dev
# libFuzzer and the sanitizer runtimes come with the clang version's own runtime package.
clang_major=$(clang++ -dumpversion | cut -d. -f1)
install_packages "libclang-rt-$clang_major-dev"

seconds=${FUZZ_SECONDS:-60}
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

echo "== build-fuzz"
build_tree build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
    -DTARNLOADER_TESTS=OFF -DTARNLOADER_FUZZ=ON

# Each run works on a copy: what the fuzzer adds to its corpus never reaches the committed seeds.
runs=build-fuzz/runs
rm -rf "$runs"
mkdir -p "$runs"

failures=()
summary=()

# Reports what went wrong and keeps the run's folder (with the crashing input) for a look.
report_failure() {
    local name=$1 log=$2
    echo "!! fuzz $name failed; log and inputs in $runs/$name"
    tail -n 60 "$log"
    failures+=("$name")
}

# A sanitizer or a property may report without the process failing (a report that recovers).
has_report() {
    grep -qE 'ERROR: (Address|Leak|UndefinedBehavior)Sanitizer|runtime error:|broken property' "$1"
}

# run_target NAME MAX_LEN [libFuzzer options...]
run_target() {
    local name=$1 max_len=$2
    shift 2
    local binary=build-fuzz/fuzz/${name}_fuzzer
    local folder=$runs/$name
    local log=$folder/fuzz.log
    mkdir -p "$folder/corpus"
    cp fuzz/corpus/"$name"/* "$folder/corpus/"
    # Each target makes its served tree in a temporary folder of its own, emptied here, so a
    # tree left by an aborted run never lingers.
    rm -rf "$folder/tmp"
    mkdir -p "$folder/tmp"
    export TMPDIR=$folder/tmp TARNLOADER_FUZZ_REPORT=$folder/broken-property.log
    rm -f "$TARNLOADER_FUZZ_REPORT"
    echo "== fuzz $name (${seconds} s, inputs up to $max_len bytes)"

    local regressions=(fuzz/regressions/"$name"/*)
    if [ -e "${regressions[0]}" ]; then
        if ! "$binary" "$@" "${regressions[@]}" >"$folder/regressions.log" 2>&1 ||
            has_report "$folder/regressions.log"; then
            report_failure "$name" "$folder/regressions.log"
            return
        fi
    fi

    local start=$SECONDS
    if ! "$binary" "$@" -max_total_time="$seconds" -max_len="$max_len" -timeout=10 \
        -print_final_stats=1 -artifact_prefix="$folder/" "$folder/corpus" >"$log" 2>&1 ||
        has_report "$log" || [ -s "$TARNLOADER_FUZZ_REPORT" ]; then
        [ -s "$TARNLOADER_FUZZ_REPORT" ] && cat "$TARNLOADER_FUZZ_REPORT" >>"$log"
        report_failure "$name" "$log"
        return
    fi
    local executions
    executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
    summary+=("fuzz $name: ${executions:-?} executions in $((SECONDS - start)) s")
}

# The command reader reports every unknown verb on standard error; -close_fd_mask=2 silences
# that while libFuzzer and the sanitizers keep their own copy of the stream, and broken
# properties reach the report file.
run_target command_reader 4096 -close_fd_mask=2 -dict=fuzz/dict/commands.dict
run_target resolve_path 1024 -dict=fuzz/dict/paths.dict
run_target change_directory 2048 -dict=fuzz/dict/paths.dict
run_target port_argument 128 -dict=fuzz/dict/port.dict
run_target command_line 512 -dict=fuzz/dict/options.dict

for line in "${summary[@]}"; do
    echo "$line"
done
if [ ${#failures[@]} -gt 0 ]; then
    echo "fuzzing failed: ${failures[*]}"
    exit 1
fi
echo "fuzzing passed: ${#summary[@]} targets"
