# Runs small scenarios whose power commands the machine refuses in the state
# the device is in, and one whose commands it carries out: a refused one ends
# the scenario with status 2, naming the command, its line and the state.
#   cmake -DHOST=... -DCONFIG=one_modem_apps.reg -DDIR=scratch-folder -P PowerRefused.cmake
file(REMOVE_RECURSE ${DIR})
file(MAKE_DIRECTORY ${DIR})
set(in_d0 "the device is in D0")
# Each case: the commands after config, add and start (lines 1 to 3), joined
# by ^, then | the status, then | what must be printed.
set(cases
  "resume|2|refused.scn:4: resume cannot be carried out: ${in_d0}"
  "start|2|refused.scn:4: start cannot be carried out: ${in_d0}"
  "sleep^wake^wake|2|refused.scn:6: wake cannot be carried out: ${in_d0}"
  "d0-exit D3 none^d0-exit D2 none|2|:5: d0-exit D2 none cannot be carried out: the device is in D3 after d0-exit D3 none"
  "shutdown^hibernate|2|:5: hibernate cannot be carried out: the device is in D3Final after shutdown"
  "remove^sleep|2|:5: sleep cannot be carried out: the device has been removed"
  "sleep^resume^hibernate^wake^shutdown^start^d0-exit D1 sleep^d0-entry D1 sleep^remove|0|ran without checks")
foreach(case IN LISTS cases)
  string(REPLACE "|" ";" parts "${case}")
  list(GET parts 0 body)
  list(GET parts 1 expected)
  list(GET parts 2 pattern)
  string(REPLACE "^" "\n" body "${body}")
  file(WRITE ${DIR}/refused.scn "config ${CONFIG}\nadd\nstart\n${body}\n")
  execute_process(COMMAND ${HOST} ${DIR}/refused.scn TIMEOUT 120
    RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
  message("${body}\n${out}${err}")
  if(NOT status EQUAL expected)
    message(FATAL_ERROR "halvex-host exited with '${status}', expected ${expected}")
  endif()
  if(NOT "${out}${err}" MATCHES "${pattern}")
    message(FATAL_ERROR "the output does not match: ${pattern}")
  endif()
endforeach()
# Before start, a D0 entry has no prepared hardware to enter with.
file(WRITE ${DIR}/refused.scn "config ${CONFIG}\nadd\nwake\n")
execute_process(COMMAND ${HOST} ${DIR}/refused.scn TIMEOUT 120
  RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
message("${out}${err}")
if(NOT status EQUAL 2 OR NOT "${out}${err}" MATCHES
   "refused.scn:3: wake cannot be carried out: the device has not been started")
  message(FATAL_ERROR "a wake before start: status ${status}")
endif()
file(REMOVE_RECURSE ${DIR})
