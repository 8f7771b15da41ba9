#!/usr/bin/env bash
# Installs what the fuzzer and the ThreadSanitizer build need (clang with its
# sanitizer and libFuzzer runtimes, Debian packages), when missing.
set -euo pipefail
bash "$(dirname "$0")/install_build_deps.sh"
need=()
command -v clang++ >/dev/null 2>&1 || need+=(clang)
if ! ls /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1; then
    need+=(libclang-rt-dev)
fi
if [ ${#need[@]} -gt 0 ]; then
    SUDO=""
    [ "$(id -u)" -eq 0 ] || SUDO="sudo"
    $SUDO apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${need[@]}"
fi
