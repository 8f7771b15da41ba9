# Fails unless the status codes of include/vexa.h (VEXA_OK, VEXA_ERROR_<NAME>),
# python/vexa/_lib.py (STATUS_<NAME>, each with an entry in STATUS_NAMES) and
# the README's status table are the same names and numbers. The library's own
# enum is tied to vexa.h by static_asserts in src/core/report.cpp.
# Run with: cmake -DROOT=<repository root> -P
set(problems "")

file(STRINGS ${ROOT}/include/vexa.h lines REGEX "^[ \t]*VEXA_(OK|ERROR_[A-Z_]+)[ \t]*=[ \t]*[0-9]+")
set(header "")
foreach(line ${lines})
  string(REGEX MATCH "VEXA_(OK|ERROR_[A-Z_]+)[ \t]*=[ \t]*([0-9]+)" _ "${line}")
  set(code ${CMAKE_MATCH_2})
  string(REGEX REPLACE "^ERROR_" "" name "${CMAKE_MATCH_1}")
  list(APPEND header "${name}=${code}")
endforeach()

file(STRINGS ${ROOT}/python/vexa/_lib.py lines REGEX "^STATUS_[A-Z_]+ = [0-9]+")
set(host "")
foreach(line ${lines})
  string(REGEX MATCH "^STATUS_([A-Z_]+) = ([0-9]+)" _ "${line}")
  list(APPEND host "${CMAKE_MATCH_1}=${CMAKE_MATCH_2}")
endforeach()
file(READ ${ROOT}/python/vexa/_lib.py python)
string(REGEX MATCH "STATUS_NAMES = {[^}]*}" names "${python}")

file(READ ${ROOT}/README.md readme)
string(REGEX MATCH "## Status codes.*" table "${readme}")
string(REGEX MATCH "^[^#]*#*[^#]*" table "${table}") # up to the next heading
string(REGEX MATCHALL "\n\\| *[0-9]+ *\\|" rows "${table}")
set(documented "")
foreach(row ${rows})
  string(REGEX MATCH "[0-9]+" code "${row}")
  list(APPEND documented ${code})
endforeach()

list(LENGTH header count)
if(count LESS 2)
  list(APPEND problems "no status codes found in include/vexa.h")
endif()
if(NOT header STREQUAL host)
  list(APPEND problems "include/vexa.h has ${header} but python/vexa/_lib.py has ${host}")
endif()
set(codes "")
foreach(entry ${header})
  string(REGEX MATCH "^([A-Z_]+)=([0-9]+)$" _ "${entry}")
  list(APPEND codes ${CMAKE_MATCH_2})
  if(NOT names MATCHES "STATUS_${CMAKE_MATCH_1}:")
    list(APPEND problems "STATUS_NAMES in python/vexa/_lib.py lacks STATUS_${CMAKE_MATCH_1}")
  endif()
endforeach()
if(NOT codes STREQUAL documented)
  list(APPEND problems "include/vexa.h has codes ${codes} but the README table lists ${documented}")
endif()

if(problems)
  list(JOIN problems "\n  " text)
  message(FATAL_ERROR "status codes disagree:\n  ${text}")
endif()
message(STATUS "status codes agree: ${header}")
