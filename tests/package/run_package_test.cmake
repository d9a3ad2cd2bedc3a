# One step of the package check, run by CTest as `cmake -D... -P run_package_test.cmake`:
#   STEP=install       install the parent build into PREFIX and check what landed there;
#   STEP=find_package  configure, build and run the consumer against PREFIX with find_package;
#   STEP=pkg_config    compile and run the consumer with the flags tarvel.pc gives;
#   STEP=subdirectory  configure the consumer with tarvel as a subdirectory of it;
#   STEP=build_tree    build and run the consumer against the parent build tree's export;
#   STEP=shared        build tarvel as a shared library, install it, and build and run the
#                      consumer against that.
# With CHECKPOINT on, the checkpoint, tokenizer, generation, chat-template and GGUF libraries
# were built too: they must install, and a second consumer program loads the bundled model
# (MODEL_DIR), renders a chat template and reads a GGUF header through them.
# The consumer is built with the parent build's compiler, generator and flags (a sanitized
# library needs a sanitized program).

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT status EQUAL 0)
    string(REPLACE ";" " " command "${ARGN}")
    message(FATAL_ERROR "failed (${status}): ${command}\n${out}\n${err}")
  endif()
  set(run_output "${out}" PARENT_SCOPE)
endfunction()

function(run_consumer program)
  run(${program})
  if(NOT run_output STREQUAL "tarvel consumer ok\n")
    message(FATAL_ERROR "consumer printed [${run_output}]")
  endif()
endfunction()

function(run_checkpoint_consumer program)
  if(CHECKPOINT)
    run(${program} ${MODEL_DIR})
    if(NOT run_output STREQUAL "tarvel checkpoint consumer ok\n")
      message(FATAL_ERROR "checkpoint consumer printed [${run_output}]")
    endif()
  endif()
endfunction()

set(consumer_checkpoint -DTARVEL_CONSUMER_CHECKPOINT=${CHECKPOINT})

set(consumer_cache
    -G ${GENERATOR}
    -DCMAKE_MAKE_PROGRAM=${MAKE_PROGRAM}
    -DCMAKE_CXX_COMPILER=${CXX}
    -DCMAKE_BUILD_TYPE=${BUILD_TYPE}
    "-DCMAKE_CXX_FLAGS=${CXX_FLAGS}"
    "-DCMAKE_EXE_LINKER_FLAGS=${LINKER_FLAGS}")

if(STEP STREQUAL "install")
  file(REMOVE_RECURSE ${PREFIX})
  run(${CMAKE_COMMAND} --install ${TARVEL_BINARY_DIR} --prefix ${PREFIX} --config ${BUILD_TYPE})
  # Exactly the public headers: every .hpp under tarvel/ outside detail/ folders, and the two
  # generated ones. The serve library belongs to the command and is not installed.
  file(GLOB_RECURSE expected RELATIVE ${TARVEL_SOURCE_DIR} ${TARVEL_SOURCE_DIR}/tarvel/*.hpp)
  if(CHECKPOINT)
    list(FILTER expected EXCLUDE REGEX "/detail/|^tarvel/serve/")
  else()
    list(FILTER expected EXCLUDE REGEX "/detail/|^tarvel/(checkpoint|tokenizer|generate|chat|gguf|serve)/")
  endif()
  list(APPEND expected tarvel/export.hpp tarvel/version.hpp)
  file(GLOB_RECURSE installed RELATIVE ${PREFIX}/${INCLUDEDIR} ${PREFIX}/${INCLUDEDIR}/*)
  list(SORT expected)
  list(SORT installed)
  if(NOT expected STREQUAL installed)
    message(FATAL_ERROR "installed headers [${installed}] differ from [${expected}]")
  endif()
  set(files ${CMAKEDIR}/tarvelConfig.cmake ${CMAKEDIR}/tarvelConfigVersion.cmake
            ${PKGCONFIGDIR}/tarvel.pc)
  if(CHECKPOINT)
    list(APPEND files ${CMAKEDIR}/tarvelCheckpointTargets.cmake ${PKGCONFIGDIR}/tarvel-checkpoint.pc
         ${PKGCONFIGDIR}/tarvel-tokenizer.pc ${PKGCONFIGDIR}/tarvel-generate.pc
         ${PKGCONFIGDIR}/tarvel-chat.pc ${PKGCONFIGDIR}/tarvel-gguf.pc)
  endif()
  foreach(file ${files})
    if(NOT EXISTS ${PREFIX}/${file})
      message(FATAL_ERROR "${file} was not installed")
    endif()
  endforeach()
elseif(STEP STREQUAL "find_package")
  file(REMOVE_RECURSE ${WORK_DIR})
  run(${CMAKE_COMMAND} -S ${CONSUMER_DIR} -B ${WORK_DIR} ${consumer_cache} ${consumer_checkpoint}
      -DCMAKE_PREFIX_PATH=${PREFIX} -DTARVEL_EXPECTED_VERSION=${VERSION})
  run(${CMAKE_COMMAND} --build ${WORK_DIR})
  run_consumer(${WORK_DIR}/consumer)
  run_checkpoint_consumer(${WORK_DIR}/checkpoint_consumer)
elseif(STEP STREQUAL "pkg_config")
  file(REMOVE_RECURSE ${WORK_DIR})
  file(MAKE_DIRECTORY ${WORK_DIR})
  # The machine's own .pc files (SentencePiece's, for the checkpoint libraries) come after ours.
  execute_process(COMMAND ${PKG_CONFIG} --variable pc_path pkg-config
                  OUTPUT_VARIABLE system_pc_path OUTPUT_STRIP_TRAILING_WHITESPACE)
  # Only our prefix is searched, so a tarvel.pc elsewhere on the machine cannot answer.
  set(ENV{PKG_CONFIG_PATH} ${PREFIX}/${PKGCONFIGDIR})
  set(ENV{PKG_CONFIG_LIBDIR} ${PREFIX}/${PKGCONFIGDIR})
  run(${PKG_CONFIG} --modversion tarvel)
  if(NOT run_output STREQUAL "${VERSION}\n")
    message(FATAL_ERROR "pkg-config reports version [${run_output}], expected ${VERSION}")
  endif()
  run(${PKG_CONFIG} --cflags tarvel)
  separate_arguments(cflags UNIX_COMMAND "${run_output}")
  run(${PKG_CONFIG} --libs tarvel)
  separate_arguments(libs UNIX_COMMAND "${run_output}")
  separate_arguments(cxx_flags UNIX_COMMAND "${CXX_FLAGS}")
  separate_arguments(linker_flags UNIX_COMMAND "${LINKER_FLAGS}")
  run(${CXX} -std=c++20 ${cxx_flags} ${cflags} ${CONSUMER_DIR}/main.cpp ${libs} ${linker_flags}
      -o ${WORK_DIR}/consumer)
  run_consumer(${WORK_DIR}/consumer)
  if(CHECKPOINT)
    set(ENV{PKG_CONFIG_LIBDIR} "${PREFIX}/${PKGCONFIGDIR}:${system_pc_path}")
    run(${PKG_CONFIG} --cflags tarvel-checkpoint tarvel-generate tarvel-chat tarvel-gguf)
    separate_arguments(cflags UNIX_COMMAND "${run_output}")
    run(${PKG_CONFIG} --libs tarvel-checkpoint tarvel-generate tarvel-chat tarvel-gguf)
    separate_arguments(libs UNIX_COMMAND "${run_output}")
    run(${CXX} -std=c++20 ${cxx_flags} ${cflags} ${CONSUMER_DIR}/checkpoint_main.cpp ${libs}
        ${linker_flags} -o ${WORK_DIR}/checkpoint_consumer)
    run_checkpoint_consumer(${WORK_DIR}/checkpoint_consumer)
  endif()
elseif(STEP STREQUAL "subdirectory")
  # Configuring is enough to show that the subproject asks for no test framework and defines
  # no targets beyond the library; building would only compile the library a second time.
  file(REMOVE_RECURSE ${WORK_DIR})
  run(${CMAKE_COMMAND} -S ${CONSUMER_DIR} -B ${WORK_DIR} ${consumer_cache}
      -DTARVEL_CONSUMER_MODE=subdirectory -DTARVEL_SOURCE_DIR=${TARVEL_SOURCE_DIR})
elseif(STEP STREQUAL "build_tree")
  file(REMOVE_RECURSE ${WORK_DIR})
  run(${CMAKE_COMMAND} -S ${CONSUMER_DIR} -B ${WORK_DIR} ${consumer_cache} ${consumer_checkpoint}
      -Dtarvel_DIR=${TARVEL_BINARY_DIR} -DTARVEL_EXPECTED_VERSION=${VERSION})
  run(${CMAKE_COMMAND} --build ${WORK_DIR})
  run_consumer(${WORK_DIR}/consumer)
  run_checkpoint_consumer(${WORK_DIR}/checkpoint_consumer)
elseif(STEP STREQUAL "shared")
  file(REMOVE_RECURSE ${WORK_DIR})
  run(${CMAKE_COMMAND} -S ${TARVEL_SOURCE_DIR} -B ${WORK_DIR}/tarvel ${consumer_cache}
      -DBUILD_SHARED_LIBS=ON -DTARVEL_BUILD_TESTS=OFF -DTARVEL_BUILD_DRIVER=OFF
      -DTARVEL_BUILD_EXAMPLES=OFF -DTARVEL_BUILD_CHECKPOINT=OFF)
  run(${CMAKE_COMMAND} --build ${WORK_DIR}/tarvel)
  run(${CMAKE_COMMAND} --install ${WORK_DIR}/tarvel --prefix ${WORK_DIR}/prefix)
  file(GLOB shared_objects ${WORK_DIR}/prefix/lib*/libtarvel.so.${VERSION})
  if(NOT shared_objects)
    message(FATAL_ERROR "no libtarvel.so.${VERSION} was installed")
  endif()
  run(${CMAKE_COMMAND} -S ${CONSUMER_DIR} -B ${WORK_DIR}/consumer ${consumer_cache}
      -DCMAKE_PREFIX_PATH=${WORK_DIR}/prefix -DTARVEL_EXPECTED_VERSION=${VERSION})
  run(${CMAKE_COMMAND} --build ${WORK_DIR}/consumer)
  run_consumer(${WORK_DIR}/consumer/consumer)
else()
  message(FATAL_ERROR "unknown STEP [${STEP}]")
endif()
