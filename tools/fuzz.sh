#!/usr/bin/env bash
# Fuzzes the two stage entry points for MINUTES minutes (default 10) under
# ASan+UBSan, starting from the committed corpus in tests/fuzz/corpus.
#   tools/fuzz.sh MINUTES          fuzz; new inputs go to build/fuzz/corpus
#   tools/fuzz.sh --merge          add the new inputs that reach new code to tests/fuzz/corpus
#   tools/fuzz.sh --replay         run every committed input once (the test suite does this)
# Failing inputs are written to build/fuzz/artifacts/; run one with
#   build/fuzz/stage_fuzzer build/fuzz/artifacts/crash-...
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/install_sanitizer_deps.sh >/dev/null
jobs=$(nproc 2>/dev/null || echo 2)
cmake -S tests/fuzz -B build/fuzz -G Ninja -DCMAKE_CXX_COMPILER=clang++ >/dev/null
cmake --build build/fuzz -j "$jobs" >/dev/null
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1}"
fuzzer=build/fuzz/stage_fuzzer
mkdir -p build/fuzz/corpus build/fuzz/artifacts

case "${1:-10}" in
--replay)
    # Each committed input once: a sanitizer report or a broken oracle fails the run.
    if ! "$fuzzer" -runs=0 -timeout=120 tests/fuzz/corpus >build/fuzz/replay.log 2>&1; then
        tail -n 80 build/fuzz/replay.log
        echo "fuzz corpus replay FAILED (full log: build/fuzz/replay.log)"
        exit 1
    fi
    echo "fuzz corpus replay: $(ls tests/fuzz/corpus | wc -l) inputs, no failure"
    ;;
--merge)
    "$fuzzer" -merge=1 -timeout=120 tests/fuzz/corpus build/fuzz/corpus 2>&1 | tail -n 2
    ;;
*)
    minutes=$1
    # -timeout is a backstop: the harness bounds each call by its work itself.
    "$fuzzer" -max_total_time=$((minutes * 60)) -timeout=300 -rss_limit_mb=4096 \
        -print_final_stats=1 -artifact_prefix=build/fuzz/artifacts/ \
        build/fuzz/corpus tests/fuzz/corpus 2>&1 | tee build/fuzz/last_run.log |
        grep -E "^(#[0-9]+ +(INITED|DONE|pulse)|stat::|stage_fuzzer|==[0-9]+==ERROR|SUMMARY)" || true
    ;;
esac
