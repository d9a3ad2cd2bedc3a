# Installs the packages a test's npm lockfile pins into a folder of the build tree, for the
# cmake -P scripts of the tests that drive npm packages:
#   tarvel_npm_ci(<npm> <folder with package.json and package-lock.json> <work folder>
#                 <what, for messages> <a module that shows the install is there>)
# Skipped while the lockfile is unchanged and the module is there, so only the first run needs
# the npm registry; with few and short retries, without the registry it fails in seconds.
function(tarvel_npm_ci npm source work what marker)
  file(MAKE_DIRECTORY ${work})
  set(lock ${source}/package-lock.json)
  file(SHA256 ${lock} lock_hash)
  set(stamp ${work}/installed.stamp)
  set(installed "")
  if(EXISTS ${stamp})
    file(READ ${stamp} installed)
  endif()
  if(installed STREQUAL lock_hash AND EXISTS ${work}/node_modules/${marker})
    return()
  endif()
  file(REMOVE ${stamp})
  file(COPY ${source}/package.json ${lock} DESTINATION ${work})
  execute_process(
    COMMAND ${npm} ci --no-audit --no-fund --loglevel=error --fetch-retries=1
            --fetch-retry-mintimeout=2000 --fetch-retry-maxtimeout=5000 --fetch-timeout=120000
    WORKING_DIRECTORY ${work}
    RESULT_VARIABLE status
    TIMEOUT 600)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "${what}: npm could not install the packages of ${source} (${status}); "
                        "is the npm registry reachable?")
  endif()
  file(WRITE ${stamp} ${lock_hash})
endfunction()
