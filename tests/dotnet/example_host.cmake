# SPDX-License-Identifier: MIT
# The C# example host (examples/dotnet) as a user runs it under Mono: a
# conversion of a real clip between non-ASCII names, a cancelled export that
# leaves no file, a refused input and a usage error, each with its exit code.
# The clip is made with FFMPEG, else copied from CORPUS; without either the
# test reports itself skipped.
#   cmake -DMONO=... -DEXAMPLE=...exe -DWORK=folder [-DFFMPEG=...] [-DCORPUS=...] -P example_host.cmake
file(REMOVE_RECURSE "${WORK}")
file(MAKE_DIRECTORY "${WORK}")
set(clip "${WORK}/vidéo ü€.mp4")
set(gif "${WORK}/sortie 名.gif")
if(FFMPEG AND EXISTS "${FFMPEG}")
  execute_process(COMMAND "${FFMPEG}" -nostdin -loglevel error -y -f lavfi
                          -i testsrc2=size=320x240:rate=25 -t 4 -c:v mpeg4 "${WORK}/clip.mp4"
                  RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "ffmpeg could not make the clip (exit ${rc})")
  endif()
  file(RENAME "${WORK}/clip.mp4" "${clip}")
elseif(CORPUS AND EXISTS "${CORPUS}/h264_black_10s.mp4")
  file(COPY_FILE "${CORPUS}/h264_black_10s.mp4" "${clip}")
else()
  message("SKIP: no ffmpeg tool and no corpus to make a clip with")
  return()
endif()

function(run_example expected_rc)
  execute_process(COMMAND "${MONO}" "${EXAMPLE}" ${ARGN}
                  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL expected_rc)
    message(FATAL_ERROR "example ${ARGN}: exit ${rc}, expected ${expected_rc}\n${out}\n${err}")
  endif()
  set(out "${out}" PARENT_SCOPE)
endfunction()

run_example(0 "${clip}" "${gif}" --end 1000 --width 120 --fps 10 --json)
file(READ "${gif}" magic LIMIT 6 HEX)
if(NOT magic STREQUAL "474946383961")  # GIF89a
  message(FATAL_ERROR "convert: ${gif} is not a GIF")
endif()
string(JSON ok GET "${out}" ok)
string(JSON width GET "${out}" width)
string(JSON frames GET "${out}" frames)
string(JSON out_path GET "${out}" out_path)
string(JSON out_size GET "${out}" out_size_bytes)
file(SIZE "${gif}" size)
if(NOT ok OR NOT width EQUAL 120 OR NOT frames EQUAL 10 OR NOT out_path STREQUAL gif OR NOT out_size EQUAL size)
  message(FATAL_ERROR "convert: unexpected result ${out} (file of ${size} bytes)")
endif()

set(cancelled "${WORK}/annulé.gif")
run_example(130 "${clip}" "${cancelled}" --width 1920 --fps 30 --cancel-after 0 --quiet)
file(GLOB left "${WORK}/.gifexport-*")
if(EXISTS "${cancelled}" OR left)
  message(FATAL_ERROR "cancel: files left behind: ${cancelled} ${left}")
endif()

run_example(2 "${WORK}/absent ü.mp4" "${WORK}/never.gif")
if(EXISTS "${WORK}/never.gif")
  message(FATAL_ERROR "refused input: an output was written")
endif()
run_example(2 "${clip}")
