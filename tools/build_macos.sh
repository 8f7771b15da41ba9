#!/usr/bin/env bash
# Cross-builds the macOS library (libvexa_mac.so: Mach-O x86-64, install name
# libvexa_mac.so, depending on /usr/lib/libSystem.B.dylib only) and checks its
# exports. Nothing here runs macOS code: what is verified is the file, its
# install name, its dependencies and its export table.
#
# Compiler: zig's clang from the ziglang package (PyPI), which carries libc++
# and the macOS system stubs. Linker: LLVM's ld64.lld, because zig's linker
# ignores export lists and exports libc++'s weak operator new/delete. libc++
# and libc++abi are linked statically. Installs lld/llvm with apt when root.
#
#   bash tools/build_macos.sh          # -> build/macos/libvexa_mac.so
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
out=$root/build/macos
min_macos=11.0
target=x86_64-macos.$min_macos
jobs=$(nproc 2>/dev/null || echo 2)
step() { printf '== %s (%ds)\n' "$1" "$SECONDS"; }

find_tool() { # first of the names found on PATH or in LLVM's folders
    local n d
    for n in "$@"; do
        command -v "$n" 2>/dev/null && return 0
        for d in /usr/lib/llvm-*/bin; do [ -x "$d/$n" ] && { echo "$d/$n"; return 0; }; done
    done
    return 1
}
need=()
find_tool ld64.lld ld64.lld-14 >/dev/null || need+=(lld)
find_tool llvm-nm >/dev/null || need+=(llvm)
command -v cmake >/dev/null 2>&1 || need+=(cmake)
command -v ninja >/dev/null 2>&1 || need+=(ninja-build)
python3 -m venv --help >/dev/null 2>&1 || need+=(python3-venv)
if [ ${#need[@]} -gt 0 ]; then
    if [ "$(id -u)" -ne 0 ]; then
        echo "build_macos: missing ${need[*]}; install them or run as root" >&2
        exit 1
    fi
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need[@]}" >/dev/null
fi
ld64=$(find_tool ld64.lld ld64.lld-14)
nm=$(find_tool llvm-nm)
objdump=$(find_tool llvm-objdump)

step "zig from PyPI"
mkdir -p "$out"
[ -x "$out/venv/bin/python" ] || python3 -m venv "$out/venv"
"$out/venv/bin/python" -c "import ziglang" 2>/dev/null ||
    "$out/venv/bin/python" -m pip install -q "ziglang>=0.17,<0.18"
zig=$("$out/venv/bin/python" -c "import os, ziglang; print(os.path.join(os.path.dirname(ziglang.__file__), 'zig'))")
echo "zig $("$zig" version)"
export ZIG_GLOBAL_CACHE_DIR=$out/zig-cache ZIG_LOCAL_CACHE_DIR=$out/zig-cache
export VEXA_ZIG_WRAPPERS=$out/bin
mkdir -p "$VEXA_ZIG_WRAPPERS"
for t in cc c++; do
    printf '#!/bin/sh\nexec "%s" %s -target %s "$@"\n' "$zig" "$t" "$target" >"$VEXA_ZIG_WRAPPERS/zig-$t"
done
for t in ar ranlib; do printf '#!/bin/sh\nexec "%s" %s "$@"\n' "$zig" "$t" >"$VEXA_ZIG_WRAPPERS/zig-$t"; done
chmod +x "$VEXA_ZIG_WRAPPERS"/zig-*

# The system library stubs zig ships, without the arm64e.x1 targets that
# LLVM 14's reader does not know (only the x86_64 entries are linked).
mkdir -p "$out/sdk"
python3 - "$(dirname "$zig")/lib/libc/darwin/libSystem.tbd" "$out/sdk/libSystem.tbd" <<'PY'
import re, sys
text = open(sys.argv[1]).read()
text = re.sub(r",\s*arm64e\.x1-(?:macos|maccatalyst)\b", "", text)
text = re.sub(r"arm64e\.x1-(?:macos|maccatalyst)\s*,\s*", "", text)
open(sys.argv[2], "w").write(text)
PY

# libc++, libc++abi and compiler-rt for the target: zig builds them (once,
# 2-4 minutes) when it first links a C++ library; the fixture is that library.
step "zig's runtime for $target"
fixture=$root/tests/cpp/fixtures/export_fixture.cpp
"$VEXA_ZIG_WRAPPERS/zig-c++" -O2 -fvisibility=hidden -shared -o "$out/fixture_zig_linked.so" \
    -Wl,-install_name,fixture_zig_linked.so "$fixture"
runtime=()
for lib in libc++.a libc++abi.a libcompiler_rt.a; do
    found=$(find "$ZIG_GLOBAL_CACHE_DIR" -name "$lib" -printf '%T@ %p\n' | sort -n | tail -1 | cut -d' ' -f2-)
    [ -n "$found" ] || { echo "build_macos: zig left no $lib in $ZIG_GLOBAL_CACHE_DIR" >&2; exit 1; }
    runtime+=("$found")
done

link() { # output install-name objects... ; the export list keeps _vexa* only
    local output=$1 name=$2
    shift 2
    "$ld64" -arch x86_64 -platform_version macos "$min_macos" "$min_macos" -dylib \
        -install_name "$name" -o "$output" "$@" "${runtime[@]}" -L"$out/sdk" -lSystem \
        -exported_symbol '_vexa*' 2> >(grep -v "which is newer than target minimum" >&2)
}

step "library objects"
cmake -S . -B "$out/vexa" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchains/macos-x86_64-zig.cmake" \
      -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$out/vexa" -j "$jobs" --target vexa_objects
mapfile -t objects <"$out/vexa/vexa_objects.txt"
link "$out/libvexa_mac.so" libvexa_mac.so "${objects[@]}"
file "$out/libvexa_mac.so"

step "export checks"
check() { cmake -DLIB="$1" -DNM="$nm" -DOBJDUMP="$objdump" "${@:2}" \
              -P "$root/tests/cpp/check_exports_macho.cmake"; }
check "$out/libvexa_mac.so"
# The check itself must reject what zig's linker makes and an extra export.
"$VEXA_ZIG_WRAPPERS/zig-c++" -O2 -fvisibility=hidden -c -o "$out/fixture.o" "$fixture"
"$VEXA_ZIG_WRAPPERS/zig-c++" -O2 -fvisibility=hidden -DVEXA_FIXTURE_EXTRA_EXPORT -c \
    -o "$out/fixture_extra.o" "$fixture"
link "$out/fixture_ok.so" fixture_ok.so "$out/fixture.o"
link "$out/fixture_extra.so" fixture_extra.so "$out/fixture_extra.o" -exported_symbol _extraSymbol
check "$out/fixture_ok.so" -DREQUIRED=vexaVersion >/dev/null
expect_rejected() { # library, message the check must give
    local log
    if log=$(check "$1" -DREQUIRED=vexaVersion 2>&1); then
        echo "build_macos: the export check accepted $1" >&2; exit 1
    fi
    grep -q "$2" <<<"$log" || { echo "build_macos: wrong rejection of $1: $log" >&2; exit 1; }
    echo "rejected as expected: $(basename "$1"): $2"
}
expect_rejected "$out/fixture_zig_linked.so" "unexpected exported symbol: __Z"
expect_rejected "$out/fixture_extra.so" "unexpected exported symbol: _extraSymbol"
step "done"
