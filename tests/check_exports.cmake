# SPDX-License-Identifier: MIT
# Fails unless the library's defined dynamic symbols are exactly the eight exports.
execute_process(COMMAND nm -D --defined-only ${LIB} OUTPUT_VARIABLE out RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "nm failed on ${LIB}")
endif()
string(REGEX MATCHALL "[ \t][A-Za-z][ \t]+[^\n]+" lines "${out}")
set(names "")
foreach(line IN LISTS lines)
  string(REGEX REPLACE "^[ \t][A-Za-z][ \t]+" "" name "${line}")
  list(APPEND names "${name}")
endforeach()
list(SORT names)
set(expected gifexport_cancel gifexport_free gifexport_probe gifexport_progress
  gifexport_result gifexport_start gifexport_status gifexport_version)
if(NOT names STREQUAL expected)
  message(FATAL_ERROR "exported: ${names}\nexpected: ${expected}")
endif()
message(STATUS "exports: ${names}")
