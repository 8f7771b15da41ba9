#!/usr/bin/env bash
# The C++ suites built with the address and undefined-behaviour sanitizers, then
# the committed fuzz corpus replayed through both entry points under the same sanitizers.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/install_build_deps.sh
jobs=$(nproc 2>/dev/null || echo 2)
cmake -S . -B build/sanitize -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVEXA_BUILD_TESTS=ON \
      -DVEXA_SANITIZE=ON >/dev/null
cmake --build build/sanitize -j "$jobs"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
    ctest --test-dir build/sanitize --output-on-failure -j "$jobs" -E exported_symbols
bash tools/fuzz.sh --replay
