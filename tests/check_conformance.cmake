# Runs the conformance driver and demands its exact success line, nothing on standard error,
# and exit status 0.
execute_process(COMMAND ${DRIVER} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
set(expected "transformer-kv parity=PREFIX-EVERY-POSITION attention=MHA+GQA chunks=PREFILL+DECODE snapshot=RESTORED fork=ISOLATED bounds=0/1/CONTEXT/OVERFLOW bytes=EXACT failures=TRANSACTIONAL reset=FRESH observer=CONST-STATS\n")
if(NOT status EQUAL 0)
  message(FATAL_ERROR "driver exited with ${status}; stderr: ${err}")
endif()
if(NOT out STREQUAL expected)
  message(FATAL_ERROR "driver printed unexpected output: [${out}]")
endif()
if(NOT err STREQUAL "")
  message(FATAL_ERROR "driver wrote to standard error: [${err}]")
endif()
message(STATUS "conformance driver printed its success line")
