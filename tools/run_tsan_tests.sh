#!/usr/bin/env bash
# End-to-end stage runs under ThreadSanitizer: both stages on an image and a
# volume at 2 and 4 threads, progress and cancellation from another thread,
# and two host threads calling the library at once.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/install_sanitizer_deps.sh
jobs=$(nproc 2>/dev/null || echo 2)
cmake -S tests/tsan -B build/tsan -G Ninja -DCMAKE_CXX_COMPILER=clang++ >/dev/null
cmake --build build/tsan -j "$jobs"
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" build/tsan/stage_tsan
