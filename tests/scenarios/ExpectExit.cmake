# Runs halvex-host and checks its exit status and what it printed.
#   cmake -DHOST=... -DARGS="a;b" -DEXPECTED=1 [-DMATCH=regex]... [-DNOMATCH=regex]
#         [-DSTDOUT=file] -P ExpectExit.cmake
# With STDOUT, standard output goes to that file (/dev/full: it cannot be written).
if(DEFINED STDOUT)
  execute_process(COMMAND ${HOST} ${ARGS}
    RESULT_VARIABLE status OUTPUT_FILE ${STDOUT} ERROR_VARIABLE err)
  set(out "")
else()
  execute_process(COMMAND ${HOST} ${ARGS}
    RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
endif()
message("${out}${err}")
if(NOT status EQUAL EXPECTED)
  message(FATAL_ERROR "halvex-host exited with ${status}, expected ${EXPECTED}")
endif()
foreach(pattern IN ITEMS ${MATCH} ${MATCH2} ${MATCH3})
  if(NOT "${out}${err}" MATCHES "${pattern}")
    message(FATAL_ERROR "the output does not match: ${pattern}")
  endif()
endforeach()
if(DEFINED NOMATCH AND "${out}${err}" MATCHES "${NOMATCH}")
  message(FATAL_ERROR "the output matches what it must not: ${NOMATCH}")
endif()
