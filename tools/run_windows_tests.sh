#!/usr/bin/env bash
# Cross-builds the Windows DLL (libvexa_win.so) with mingw-w64 and runs every
# C++ suite, the C ABI check, the PE export/import check and the example under
# Wine; then compares both stages' output of the DLL with the Linux library's.
# Installs the cross compiler and Wine when run as root. Run from anywhere.
#
#   bash tools/run_windows_tests.sh
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=$root/build/windows
toolchain=$root/cmake/toolchains/mingw-w64-x86_64.cmake
jobs=$(nproc 2>/dev/null || echo 2)
# Outputs of the two libraries may differ by float rounding in the maths
# library (sinf, cosf, powf); the inputs are identical bit for bit.
tolerance=${VEXA_SAME_NUMBERS_TOLERANCE:-1e-5}

need=()
command -v x86_64-w64-mingw32-g++-posix >/dev/null 2>&1 || need+=(g++-mingw-w64-x86-64-posix)
command -v wine >/dev/null 2>&1 || need+=(wine wine64)
[ -f /usr/src/googletest/CMakeLists.txt ] || need+=(googletest)
command -v cmake >/dev/null 2>&1 || need+=(cmake)
command -v ninja >/dev/null 2>&1 || need+=(ninja-build)
command -v cc >/dev/null 2>&1 || need+=(gcc)
command -v clang >/dev/null 2>&1 || need+=(clang)
command -v llvm-nm >/dev/null 2>&1 || need+=(llvm)
if [ ${#need[@]} -gt 0 ]; then
    if [ "$(id -u)" -ne 0 ]; then
        echo "run_windows_tests: missing ${need[*]}; install them or run as root" >&2
        exit 1
    fi
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need[@]}" >/dev/null
fi

step() { printf '== %s (%ds)\n' "$1" "$SECONDS"; }

# The public header under MSVC's rules (clang-cl, Microsoft ABI), as C and
# C++: as a DLL user the entry points are imported (__imp_), with
# VEXA_STATIC they are plain references.
step "header under MSVC rules (clang-cl)"
mkdir -p "$build/msvc"
for lang in /TC /TP; do
    for mode in import static export; do
        case $mode in
            import) define=/DVEXA_HEADER_USER ;;
            static) define=/DVEXA_STATIC ;;
            export) define=/DVEXA_BUILDING_LIBRARY ;;
        esac
        obj=$build/msvc/header_${mode}_${lang#/}.obj
        clang --driver-mode=cl --target=x86_64-pc-windows-msvc /nologo /c /W4 /WX "$lang" "$define" \
            -Xclang -ffreestanding /Iinclude "/Fo$obj" tests/cpp/msvc_header_check.c
        undefined=$(llvm-nm --undefined-only "$obj")
        case $mode in
            import) want=__imp_vexaInterfaceHT ;;
            *) want=vexaInterfaceHT ;;
        esac
        if ! grep -qx " *U $want" <<<"$undefined"; then
            echo "run_windows_tests: $mode ($lang) object does not reference $want:" >&2
            echo "$undefined" >&2
            exit 1
        fi
    done
done
echo "vexa.h compiles as C and C++ under clang-cl; imports, static and export declarations as intended"

# GoogleTest from Debian's sources, cross-built once into the build folder.
gtest_prefix=$build/googletest
if [ ! -f "$gtest_prefix/lib/libgtest.a" ]; then
    step "GoogleTest for Windows"
    cmake -S /usr/src/googletest -B "$build/googletest-build" -G Ninja \
          -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release -DBUILD_GMOCK=OFF \
          -DINSTALL_GTEST=ON -DCMAKE_INSTALL_PREFIX="$gtest_prefix" >/dev/null
    cmake --build "$build/googletest-build" -j "$jobs" >/dev/null
    cmake --install "$build/googletest-build" >/dev/null
fi

step "library, suites, checks and example for Windows"
cmake -S . -B "$build/vexa" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
      -DCMAKE_BUILD_TYPE=Release -DVEXA_BUILD_TESTS=ON -DVEXA_BUILD_EXAMPLES=ON \
      -DCMAKE_PREFIX_PATH="$gtest_prefix" >/dev/null
cmake --build "$build/vexa" -j "$jobs"
file "$build/vexa/libvexa_win.so"

# A Wine prefix of our own. Wine's background services inherit the output
# pipes of the process that starts them and would hold ctest open: start them
# here, output discarded, and keep one persistent server for the whole run.
export WINEPREFIX=$build/wineprefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
export DISPLAY=
step "Wine prefix"
wine wineboot --init >/dev/null 2>&1 </dev/null || true
wineserver -w          # the server wineboot left behind must exit before -p
wineserver -p
trap 'wineserver -k >/dev/null 2>&1 || true' EXIT
wine cmd /c exit >/dev/null 2>&1 </dev/null || true

step "tests under Wine"
ctest --test-dir "$build/vexa" --output-on-failure -j "$jobs"
wine "$build/vexa/denoise_example.exe" 24 0.1 2

step "same numbers as the Linux library"
linux=$root/build/tests
if [ ! -f "$linux/libvexa_linux.so" ] || [ ! -x "$linux/vexa_same_numbers" ]; then
    cmake -S . -B "$linux" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVEXA_BUILD_TESTS=ON \
          -DVEXA_BUILD_EXAMPLES=ON >/dev/null
fi
cmake --build "$linux" -j "$jobs" --target vexa vexa_same_numbers >/dev/null
"$linux/vexa_same_numbers" "$linux/libvexa_linux.so" "$build/same_numbers_linux.raw"
# Loaded by its file name, from the folder it lies in, as the host does.
(cd "$build/vexa" && wine ./vexa_same_numbers.exe libvexa_win.so "$build/same_numbers_win.raw")
"$linux/vexa_same_numbers" --compare "$build/same_numbers_linux.raw" "$build/same_numbers_win.raw" \
    "$tolerance"
step "done"
