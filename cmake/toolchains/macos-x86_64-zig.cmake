# Cross-build for macOS x86-64 with zig's clang (the ziglang package from
# PyPI brings the compiler, libc++ sources and the macOS system stubs).
# tools/build_macos.sh writes the wrapper scripts this file names and links
# the library with ld64.lld; see there. The wrappers' folder comes from the
# environment so that CMake's trial compilations see it too.
set(CMAKE_SYSTEM_NAME Darwin)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(VEXA_ZIG_WRAPPERS "$ENV{VEXA_ZIG_WRAPPERS}")
if(NOT VEXA_ZIG_WRAPPERS OR NOT EXISTS "${VEXA_ZIG_WRAPPERS}/zig-cc")
  message(FATAL_ERROR "set VEXA_ZIG_WRAPPERS to the folder of zig-cc, zig-c++, zig-ar and "
                      "zig-ranlib (tools/build_macos.sh makes them)")
endif()
set(CMAKE_C_COMPILER ${VEXA_ZIG_WRAPPERS}/zig-cc)
set(CMAKE_CXX_COMPILER ${VEXA_ZIG_WRAPPERS}/zig-c++)
set(CMAKE_AR ${VEXA_ZIG_WRAPPERS}/zig-ar CACHE FILEPATH "")
set(CMAKE_RANLIB ${VEXA_ZIG_WRAPPERS}/zig-ranlib CACHE FILEPATH "")
# The wrappers pass the target; no SDK or xcrun is looked for.
set(CMAKE_OSX_SYSROOT "" CACHE PATH "")
set(CMAKE_OSX_DEPLOYMENT_TARGET "" CACHE STRING "")

set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
