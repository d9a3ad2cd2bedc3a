# Installs the pinned reference packages with npm and writes the reference's ids of the corpus:
#   cmake -DNODE=<node> -DNPM=<npm> -DSOURCE=<tests/tokenizer> -DWORK=<folder> -P fetch_reference.cmake
# Each step is skipped while what it was made from is unchanged, so only the first run needs the
# npm registry. Without node, npm or the registry it fails at once, saying which.
foreach(tool NODE NPM)
  if(NOT ${tool} OR NOT EXISTS "${${tool}}")
    string(TOLOWER ${tool} name)
    message(FATAL_ERROR "tokenizer reference: ${name} is not installed; the comparison with the "
                        "published tokenizers needs node and npm")
  endif()
endforeach()

include(${CMAKE_CURRENT_LIST_DIR}/../../support/npm_ci.cmake)
tarvel_npm_ci(${NPM} ${SOURCE}/npm ${WORK} "tokenizer reference" @lenml/tokenizers)
set(lock ${SOURCE}/npm/package-lock.json)

set(inputs ${lock} ${SOURCE}/reference/reference.mjs ${SOURCE}/reference/corpus.mjs)
set(inputs_hash "")
foreach(input ${inputs})
  file(SHA256 ${input} hash)
  string(APPEND inputs_hash ${hash})
endforeach()
set(written_stamp ${WORK}/reference.stamp)
set(written "")
if(EXISTS ${written_stamp})
  file(READ ${written_stamp} written)
endif()
if(NOT written STREQUAL inputs_hash OR NOT EXISTS ${WORK}/reference.json)
  file(REMOVE ${written_stamp})
  execute_process(
    COMMAND ${NODE} ${SOURCE}/reference/reference.mjs ${WORK}/node_modules ${WORK}/reference.json
    RESULT_VARIABLE status
    TIMEOUT 600)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "tokenizer reference: the reference script failed (${status})")
  endif()
  file(WRITE ${written_stamp} ${inputs_hash})
endif()
