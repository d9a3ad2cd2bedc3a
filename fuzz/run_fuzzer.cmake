# Runs one libFuzzer target for SECONDS on top of its seeds and regression files and fails on any
# finding. New inputs go to a scratch corpus that starts empty, so runs do not pile up.
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK}/corpus ${WORK}/findings)
set(corpora ${WORK}/corpus ${SEEDS})
if(EXISTS ${REGRESSIONS})
  list(APPEND corpora ${REGRESSIONS})
endif()
execute_process(
  COMMAND ${FUZZER} ${corpora} -max_total_time=${SECONDS} -len_control=0 -timeout=30
          -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix=${WORK}/findings/
  RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${FUZZER} failed (${status}); the input is in ${WORK}/findings")
endif()
