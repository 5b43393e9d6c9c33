# Prints every log of the sample system with the command-line tool in one
# format, and compares the output with the golden file byte for byte:
#   cmake -DPROGRAM=vesk -DSAMPLE=DIR -DFORMAT=jsonl|csv -DGOLDEN=FILE
#         -DACTUAL=FILE [-DUPDATE=ON] -P check.cmake
# The local computer is DIR/samplepc and the remote FILESRV is DIR/filesrv,
# named with --image and --remote; times are shown in UTC.  With UPDATE the
# golden file is written instead (check the rows by hand before committing).
set(ENV{TZ} UTC)
unset(ENV{VESK_LOCAL_IMAGE})
unset(ENV{VESK_REMOTE_IMAGES})
set(images --image ${SAMPLE}/samplepc --remote FILESRV=${SAMPLE}/filesrv)
set(output "")
foreach(machine local FILESRV)
  set(args ${images} --format ${FORMAT} --quiet)
  if(machine STREQUAL "local")
    list(APPEND args Application System Security DemoLog)
  else()
    list(APPEND args --machine FILESRV Application System Security "File Replication Service")
  endif()
  execute_process(COMMAND ${PROGRAM} ${args}
                  RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT status STREQUAL "0")
    message(FATAL_ERROR "vesk ${args}: exit status ${status}\n${err}")
  endif()
  string(APPEND output "${out}")
endforeach()

if(UPDATE)
  file(WRITE ${GOLDEN} "${output}")
  message("wrote ${GOLDEN}")
  return()
endif()
file(WRITE ${ACTUAL} "${output}")
file(READ ${GOLDEN} golden)
if(NOT output STREQUAL golden)
  message(FATAL_ERROR "the ${FORMAT} rows of the sample system differ from the golden file:\n"
                      "  diff -u ${GOLDEN} ${ACTUAL}")
endif()
