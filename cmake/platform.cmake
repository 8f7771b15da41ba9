# Platform parts of the build, included at the end of CMakeLists.txt once the
# object libraries, the shared library and the tests exist.
#
# Windows (cross-built with cmake/toolchains/mingw-w64-x86_64.cmake):
#   - programs that link the object libraries directly (the test suites) get
#     VEXA_STATIC, so the header declares the entry points without dllimport;
#   - the DLL and every program link libstdc++, libgcc and winpthreads
#     statically (toolchain flags) and import only KERNEL32 and msvcrt;
#   - the export check reads the PE tables, and is itself tested on small
#     DLLs that it must accept or reject.

if(WIN32)
  foreach(lib ${VEXA_OBJECT_LIBS})
    target_compile_definitions(${lib} INTERFACE VEXA_STATIC)
  endforeach()
endif()
if(MINGW)
  # Also for a native MinGW build (pip install . under MSYS2): no runtime DLLs.
  target_link_options(vexa PRIVATE -static)
endif()

# macOS: the object files of the library, one per line, for the link by
# ld64.lld in tools/build_macos.sh (zig's own linker exports libc++'s weak
# operator new and delete and ignores export lists).
if(APPLE)
  file(GENERATE OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/vexa_objects.txt
       CONTENT "$<JOIN:${VEXA_OBJECTS},\n>\n")
  add_custom_target(vexa_objects DEPENDS ${VEXA_OBJECT_LIBS})
endif()

if(NOT VEXA_BUILD_TESTS)
  return()
endif()

# Both stages through the library loaded by file name, on inputs generated
# bit-identically everywhere; tools/run_windows_tests.sh compares the outputs
# of the Linux library and the Windows DLL.
add_executable(vexa_same_numbers ${CMAKE_CURRENT_SOURCE_DIR}/tests/cpp/same_numbers.c)
target_include_directories(vexa_same_numbers PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/include)
set_target_properties(vexa_same_numbers PROPERTIES C_STANDARD 99)
target_link_libraries(vexa_same_numbers PRIVATE ${CMAKE_DL_LIBS})
if(NOT WIN32)
  target_link_libraries(vexa_same_numbers PRIVATE m)
endif()
add_dependencies(vexa_same_numbers vexa)
add_test(NAME same_numbers_run
         COMMAND vexa_same_numbers $<TARGET_FILE:vexa>
                 ${CMAKE_CURRENT_BINARY_DIR}/same_numbers_${VEXA_PLATFORM}.raw)
if(VEXA_SANITIZE)
  # LeakSanitizer crashes on the dynamic TLS of a dlopen'ed library (glibc
  # 2.36, GCC 12); address and undefined-behaviour checks stay on.
  set_tests_properties(same_numbers_run PROPERTIES ENVIRONMENT "ASAN_OPTIONS=detect_leaks=0")
endif()

if(WIN32)
  set(VEXA_PE_CHECK ${CMAKE_CURRENT_SOURCE_DIR}/tests/cpp/check_exports_pe.cmake)
  if(NOT CMAKE_OBJDUMP)
    message(FATAL_ERROR "the PE export check needs objdump for the target (CMAKE_OBJDUMP)")
  endif()
  add_test(NAME exported_symbols
           COMMAND ${CMAKE_COMMAND} -DLIB=$<TARGET_FILE:vexa> -DOBJDUMP=${CMAKE_OBJDUMP}
                   -P ${VEXA_PE_CHECK})

  # The check must catch a DLL that needs the runtime DLLs or exports more
  # than vexa* names. The fixtures are linked by hand, outside the
  # toolchain's default flags, so each one is linked exactly as named.
  set(fixture_src ${CMAKE_CURRENT_SOURCE_DIR}/tests/cpp/fixtures/export_fixture.cpp)
  set(fixtures "")
  foreach(kind static_runtime shared_runtime extra_export)
    set(flags -shared -O1)
    if(NOT kind STREQUAL shared_runtime)
      list(APPEND flags -static)
    endif()
    if(kind STREQUAL extra_export)
      list(APPEND flags -DVEXA_FIXTURE_EXTRA_EXPORT)
    endif()
    set(dll ${CMAKE_CURRENT_BINARY_DIR}/pe_fixture_${kind}.dll)
    add_custom_command(OUTPUT ${dll} COMMAND ${CMAKE_CXX_COMPILER} ${flags} -o ${dll} ${fixture_src}
                       DEPENDS ${fixture_src} VERBATIM)
    list(APPEND fixtures ${dll})
    add_test(NAME pe_check_${kind}
             COMMAND ${CMAKE_COMMAND} -DLIB=${dll} -DOBJDUMP=${CMAKE_OBJDUMP} -DREQUIRED=vexaVersion
                     -P ${VEXA_PE_CHECK})
  endforeach()
  add_custom_target(vexa_pe_fixtures ALL DEPENDS ${fixtures})
  set_tests_properties(pe_check_shared_runtime PROPERTIES PASS_REGULAR_EXPRESSION
                       "imports a non-system DLL: lib(gcc_s_seh-1|stdc\\+\\+-6|winpthread-1)\\.dll")
  set_tests_properties(pe_check_extra_export PROPERTIES PASS_REGULAR_EXPRESSION
                       "unexpected exported symbol: extraSymbol")
endif()

