# The driver library keeps its pure virtual hook to itself: the hook is neither
# exported (the host keeps the runtime's own) nor looked up from outside (the
# driver's pure virtual slots reach its own handler).
execute_process(COMMAND ${NM} -D ${LIBRARY} OUTPUT_VARIABLE symbols RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${NM} -D ${LIBRARY} failed (${status})")
endif()
string(REGEX MATCH "[^\n]*__cxa_pure_virtual[^\n]*" line "${symbols}")
if(line)
  message(FATAL_ERROR "the driver library's dynamic symbols name the pure virtual hook: ${line}")
endif()
