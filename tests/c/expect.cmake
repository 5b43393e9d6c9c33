# Runs a program and checks its exit status and what it wrote on standard
# error, for tests of command-line programs:
#   cmake -DPROGRAM=path -DARGS="a|b|c" -DSTATUS=0 [-DSTDERR_MATCHES=regex]
#         [-DSTDOUT_MATCHES=regex] -P expect.cmake
string(REPLACE "|" ";" args "${ARGS}")
execute_process(COMMAND ${PROGRAM} ${args}
                RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
message("standard output:\n${out}\nstandard error:\n${err}")
if(NOT status STREQUAL "${STATUS}")
  message(FATAL_ERROR "exit status ${status}, expected ${STATUS}")
endif()
if(DEFINED STDERR_MATCHES AND NOT err MATCHES "${STDERR_MATCHES}")
  message(FATAL_ERROR "standard error does not match: ${STDERR_MATCHES}")
endif()
if(DEFINED STDOUT_MATCHES AND NOT out MATCHES "${STDOUT_MATCHES}")
  message(FATAL_ERROR "standard output does not match: ${STDOUT_MATCHES}")
endif()
