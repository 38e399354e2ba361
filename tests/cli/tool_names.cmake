# SPDX-License-Identifier: MIT
# The tool as a user runs it, with non-ASCII names on its command line: the
# demo writes its GIF under exactly the name given, a conversion of that GIF
# to another non-ASCII name reports that name in its JSON, and a missing input
# is refused with the tool's own exit code. Runs the tool through EMULATOR
# (wine) when cross-compiled.
#   cmake -DTOOL=... [-DEMULATOR=...] -DWORK=folder -P tool_names.cmake
file(REMOVE_RECURSE "${WORK}")
file(MAKE_DIRECTORY "${WORK}/café")
set(demo_gif "${WORK}/café/ü€名.gif")
set(copy_gif "${WORK}/café/コピー é.gif")

execute_process(COMMAND ${EMULATOR} "${TOOL}" demo "${demo_gif}"
  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "demo: exit ${rc}\n${out}\n${err}")
endif()
if(NOT EXISTS "${demo_gif}")
  message(FATAL_ERROR "demo: no file at ${demo_gif}\n${out}")
endif()
file(READ "${demo_gif}" magic LIMIT 6 HEX)
if(NOT magic STREQUAL "474946383961")  # GIF89a
  message(FATAL_ERROR "demo: ${demo_gif} is not a GIF")
endif()
string(FIND "${out}" "GIF written to ${demo_gif}" named)
if(named LESS 0)
  message(FATAL_ERROR "demo: the name came back otherwise:\n${out}")
endif()

execute_process(COMMAND ${EMULATOR} "${TOOL}" convert "${demo_gif}" "${copy_gif}"
                        --end 1s --width 64 --json --quiet
  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT rc EQUAL 0 OR NOT EXISTS "${copy_gif}")
  message(FATAL_ERROR "convert: exit ${rc}\n${out}\n${err}")
endif()
string(JSON out_path GET "${out}" out_path)
string(JSON out_size GET "${out}" out_size_bytes)
file(SIZE "${copy_gif}" size)
if(NOT out_path STREQUAL copy_gif OR NOT out_size EQUAL size)
  message(FATAL_ERROR "convert: result names ${out_path} (${out_size} bytes), "
                      "the file is ${copy_gif} (${size} bytes)")
endif()

execute_process(COMMAND ${EMULATOR} "${TOOL}" convert "${WORK}/no such é.mp4" "${WORK}/x.gif"
  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(rc EQUAL 0 OR EXISTS "${WORK}/x.gif")
  message(FATAL_ERROR "a missing input was not refused: exit ${rc}\n${out}\n${err}")
endif()
file(REMOVE_RECURSE "${WORK}")
