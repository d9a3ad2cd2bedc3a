# Installs the pinned openai npm package into a folder of the build tree:
#   cmake -DNPM=<npm> -DSOURCE=<tests/serve> -DWORK=<folder> -P fetch_client.cmake
# Skipped while the lockfile is unchanged, so only the first run needs the npm registry; without
# npm or the registry it fails at once, saying which.
if(NOT NPM OR NOT EXISTS "${NPM}")
  message(FATAL_ERROR "openai client: npm is not installed")
endif()
include(${CMAKE_CURRENT_LIST_DIR}/../support/npm_ci.cmake)
tarvel_npm_ci(${NPM} ${SOURCE}/npm ${WORK} "openai client" openai)
