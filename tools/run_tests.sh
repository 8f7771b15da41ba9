#!/usr/bin/env bash
# Sets up and runs every test: the C++ suites (GoogleTest, the C ABI check,
# the export check) and the Python suite. Run from anywhere.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/install_build_deps.sh

jobs=$(nproc 2>/dev/null || echo 2)
cmake -S . -B build/tests -G Ninja -DCMAKE_BUILD_TYPE=Release -DVEXA_BUILD_TESTS=ON \
      -DVEXA_BUILD_EXAMPLES=ON >/dev/null
cmake --build build/tests -j "$jobs"
ctest --test-dir build/tests --output-on-failure -j "$jobs"

if [ -f pyproject.toml ]; then
    if ! python3 -m venv .venv >/dev/null 2>&1; then
        # Debian's Python ships venv support separately.
        SUDO=""
        [ "$(id -u)" -eq 0 ] || SUDO="sudo"
        $SUDO apt-get update -qq
        DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq python3-venv
        python3 -m venv .venv
    fi
    .venv/bin/python -m pip install -q --upgrade pip
    .venv/bin/python -m pip install -q ".[test]"
    # Run from the tests folder so the installed package, not the source tree, is imported.
    (cd tests/python && ../../.venv/bin/python -m pytest -q)
fi
