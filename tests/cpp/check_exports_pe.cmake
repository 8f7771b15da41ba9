# Fails unless LIB is a 64-bit Windows DLL that
#   - exports exactly vexa* names, among them every name in REQUIRED,
#   - names itself after its file in the export directory,
#   - imports only system DLLs: KERNEL32 and the C runtime (msvcrt, or the
#     universal CRT), so that no libstdc++, libgcc or winpthread DLL is needed.
#   cmake -DLIB=libvexa_win.so -DOBJDUMP=x86_64-w64-mingw32-objdump [-DREQUIRED=a;b] -P this
if(NOT DEFINED OBJDUMP)
  set(OBJDUMP objdump)
endif()
if(NOT DEFINED REQUIRED)
  set(REQUIRED vexaInterfaceHT vexaInterfaceWie vexaGetProgress vexaRequestCancel vexaLastMessage
               vexaVersion vexaDefaultThreadCount)
endif()
execute_process(COMMAND ${OBJDUMP} -p ${LIB} OUTPUT_VARIABLE out ERROR_VARIABLE err
                RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${OBJDUMP} -p failed on ${LIB}: ${err}")
endif()
if(NOT out MATCHES "file format pei-x86-64" OR NOT out MATCHES "Magic[ \t]+020b" OR
   NOT out MATCHES "\n[ \t]+DLL\n")
  message(FATAL_ERROR "not a 64-bit PE DLL (PE32+, x86-64): ${LIB}")
endif()

string(REPLACE "\n" ";" lines "${out}")
set(imports "")
set(exports "")
set(dllName "")
set(inNames FALSE)
foreach(line ${lines})
  if(line MATCHES "^[ \t]*DLL Name: (.+)$")
    list(APPEND imports "${CMAKE_MATCH_1}")
  elseif(line MATCHES "^Name[ \t]+[0-9a-fA-F]+ (.+)$")
    set(dllName "${CMAKE_MATCH_1}")
  elseif(line MATCHES "^\\[Ordinal/Name Pointer\\] Table")
    set(inNames TRUE)
  elseif(inNames AND line MATCHES "^[ \t]*\\[ *[0-9]+\\] (.+)$")
    list(APPEND exports "${CMAKE_MATCH_1}")
  elseif(inNames AND NOT line MATCHES "^[ \t]*$")
    set(inNames FALSE)
  endif()
endforeach()

foreach(dll ${imports})
  string(TOLOWER "${dll}" lower)
  if(NOT lower MATCHES "^(kernel32|msvcrt|ucrtbase|api-ms-win-crt-[a-z0-9-]+)\\.dll$")
    message(FATAL_ERROR "imports a non-system DLL: ${dll} (imports: ${imports})")
  endif()
endforeach()

foreach(sym ${exports})
  if(NOT sym MATCHES "^vexa[A-Z][A-Za-z0-9]*$")
    message(FATAL_ERROR "unexpected exported symbol: ${sym}")
  endif()
endforeach()
foreach(required ${REQUIRED})
  list(FIND exports ${required} idx)
  if(idx EQUAL -1)
    message(FATAL_ERROR "missing exported symbol: ${required} (exports: ${exports})")
  endif()
endforeach()

get_filename_component(fileName "${LIB}" NAME)
if(NOT dllName STREQUAL fileName)
  message(FATAL_ERROR "export directory names '${dllName}', the file is '${fileName}'")
endif()
message(STATUS "imports: ${imports}")
message(STATUS "exports: ${exports}")
