# Installs the pinned openai npm package into a folder of the build tree:
#   cmake -DNPM=<npm> -DSOURCE=<tests/serve> -DWORK=<folder> -P fetch_client.cmake
# Skipped while the lockfile is unchanged, so only the first run needs the npm registry; without
# npm or the registry it fails at once, saying which.
if(NOT NPM OR NOT EXISTS "${NPM}")
  message(FATAL_ERROR "openai client: npm is not installed")
endif()
file(MAKE_DIRECTORY ${WORK})
set(lock ${SOURCE}/npm/package-lock.json)
file(SHA256 ${lock} lock_hash)
set(stamp ${WORK}/installed.stamp)
set(installed "")
if(EXISTS ${stamp})
  file(READ ${stamp} installed)
endif()
if(NOT installed STREQUAL lock_hash OR NOT EXISTS ${WORK}/node_modules/openai)
  file(REMOVE ${stamp})
  file(COPY ${SOURCE}/npm/package.json ${lock} DESTINATION ${WORK})
  execute_process(
    COMMAND ${NPM} ci --no-audit --no-fund --loglevel=error --fetch-retries=1
            --fetch-retry-mintimeout=2000 --fetch-retry-maxtimeout=5000 --fetch-timeout=120000
    WORKING_DIRECTORY ${WORK}
    RESULT_VARIABLE status
    TIMEOUT 600)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "openai client: npm could not install the packages of ${SOURCE}/npm "
                        "(${status}); is the npm registry reachable?")
  endif()
  file(WRITE ${stamp} ${lock_hash})
endif()
