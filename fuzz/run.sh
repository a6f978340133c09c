#!/usr/bin/env bash
# Builds the fuzz targets (clang, libFuzzer, ASan + UBSan) into build-fuzz and runs each
# for a while on its seed corpus.
#   fuzz/run.sh [SECONDS] [TARGET...]     default: 30 s, every target
# Inputs found new are kept in build-fuzz/corpus/TARGET, so a later run goes on from
# there; a crash leaves its input in build-fuzz/crashes/ and fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-30}
shift || true
all=(hive_fuzzer log_replay_fuzzer reg_import_fuzzer inf_fuzz hardware_file_fuzz fuzz_message_format
     parse_number_fuzz add_reg_fuzz cab_extract_fuzz driver_store_index_fuzz)
targets=("$@")
[ ${#targets[@]} -eq 0 ] && targets=("${all[@]}")

tools/setup.sh
CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=Fuzz \
    -DTRANSVIA_TESTS=OFF -DTRANSVIA_BENCH=OFF >/dev/null
cmake --build build-fuzz -j "$(nproc)" --target "${targets[@]}"

python3 fuzz/make_seeds.py build-fuzz/seeds ../shared/testdata
mkdir -p build-fuzz/crashes
# UBSan findings end the run like ASan's; leaks are findings too.
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
# One target per core at a time: the same seconds of fuzzing each, in half the wall time.
run_one() {
    local target=$1
    mkdir -p "build-fuzz/corpus/$target" "build-fuzz/seeds/$target"
    # A blow-up in time or memory is a finding: 25 s per input (slow machines), 2 GB in all.
    build-fuzz/fuzz/"$target" -max_total_time="$seconds" -timeout=25 -rss_limit_mb=2048 -max_len=1048576 \
        -print_final_stats=1 -artifact_prefix="build-fuzz/crashes/$target-" \
        "build-fuzz/corpus/$target" "build-fuzz/seeds/$target" >"build-fuzz/$target.log" 2>&1
}
report() {
    local target=$1 status=$2
    echo "== $target: ${seconds} s"
    grep -E '^(#[0-9]+[[:space:]]+DONE|INFO: seed corpus|stat::number_of_executed_units|==[0-9]+==ERROR|SUMMARY)' \
        "build-fuzz/$target.log" || true
    if [ "$status" -ne 0 ]; then
        tail -n 60 "build-fuzz/$target.log"
        echo "fuzz/run.sh: $target found a fault (its input is in build-fuzz/crashes/)"
        return 1
    fi
}
cores=$(nproc)
failed=0
for ((i = 0; i < ${#targets[@]}; i += cores)); do
    batch=("${targets[@]:i:cores}")
    pids=()
    for target in "${batch[@]}"; do run_one "$target" & pids+=($!); done
    for j in "${!batch[@]}"; do
        status=0
        wait "${pids[$j]}" || status=$?
        report "${batch[$j]}" "$status" || failed=1
    done
    [ "$failed" -eq 0 ] || exit 1
done
