# Runs halvex-host on inputs that are not regular files, each way a file
# reaches it, and checks that every one is refused at once by what it is
# (status 2) instead of keeping the host waiting for a writer.
#   cmake -DHOST=... -DDIR=scratch-folder -P NotAFile.cmake
file(REMOVE_RECURSE ${DIR})
file(MAKE_DIRECTORY ${DIR})
execute_process(COMMAND mkfifo ${DIR}/fifo.scn ${DIR}/fifo.reg RESULT_VARIABLE made)
if(NOT made EQUAL 0)
  message(FATAL_ERROR "cannot make the FIFOs in ${DIR}")
endif()
file(CREATE_LINK ${DIR}/fifo.scn ${DIR}/link.scn SYMBOLIC)
file(WRITE ${DIR}/config_line.scn "config fifo.reg\nadd\n")

set(fifo "it is a FIFO \\(named pipe\\), not a regular file")
set(cases
  "${DIR}/fifo.scn|fifo.scn: ${fifo}"
  "${DIR}/link.scn|link.scn: ${fifo}"
  "/dev/null|/dev/null: it is a character device, not a regular file"
  "--check-config^${DIR}/fifo.reg|fifo.reg: ${fifo}"
  "--config^${DIR}/fifo.reg|fifo.reg: ${fifo}"
  "${DIR}/config_line.scn|config_line.scn:1: [^\n]*fifo.reg: ${fifo}"
  "--fault-record^${DIR}/fifo.reg^${DIR}/config_line.scn|--fault-record [^ ]*fifo.reg: ${fifo}"
  "--driver^${DIR}/fifo.reg|--driver [^ ]*fifo.reg: ${fifo}")
# Each case: the arguments, separated by ^, then | and what must be printed.
foreach(case IN LISTS cases)
  string(FIND "${case}" "|" bar)
  string(SUBSTRING "${case}" 0 ${bar} args)
  math(EXPR bar "${bar} + 1")
  string(SUBSTRING "${case}" ${bar} -1 pattern)
  string(REPLACE "^" ";" parts "${args}")
  execute_process(COMMAND ${HOST} ${parts} TIMEOUT 30
    RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
  message("halvex-host ${parts}: ${status}\n${out}${err}")
  if(NOT status EQUAL 2)
    message(FATAL_ERROR "halvex-host ${parts} exited with '${status}', expected 2")
  endif()
  if(NOT "${out}${err}" MATCHES "${pattern}")
    message(FATAL_ERROR "halvex-host ${parts}: the output does not match: ${pattern}")
  endif()
endforeach()
# The library the environment names is looked at the same way.
execute_process(COMMAND ${CMAKE_COMMAND} -E env HALVEX_DRIVER=${DIR}/fifo.reg ${HOST} ${DIR}/config_line.scn
  TIMEOUT 30 RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
message("HALVEX_DRIVER=fifo.reg halvex-host: ${status}\n${out}${err}")
if(NOT status EQUAL 2 OR NOT "${out}${err}" MATCHES "HALVEX_DRIVER [^ ]*fifo.reg: ${fifo}")
  message(FATAL_ERROR "HALVEX_DRIVER naming a FIFO: exited with '${status}', expected 2 and its name")
endif()
file(REMOVE_RECURSE ${DIR})
