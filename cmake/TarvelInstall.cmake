# Install rules: the library (static or shared), its public headers (the HEADERS file set), a
# CMake package (find_package(tarvel CONFIG) giving tarvel::tarvel) and a pkg-config file. The
# build tree exports the same targets, so a project can use a build without installing it.
# Nothing from driver/, tests/, bench/ or examples/ is installed.
include(CMakePackageConfigHelpers)

set(TARVEL_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/tarvel
    CACHE STRING "Where the CMake package files go, relative to the prefix")
set(TARVEL_INSTALL_PKGCONFIGDIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig
    CACHE STRING "Where tarvel.pc goes, relative to the prefix")

install(TARGETS tarvel EXPORT tarvelTargets
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
        FILE_SET HEADERS DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
        FILE_SET generated_headers DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(EXPORT tarvelTargets NAMESPACE tarvel:: DESTINATION ${TARVEL_INSTALL_CMAKEDIR})
export(EXPORT tarvelTargets NAMESPACE tarvel:: FILE ${PROJECT_BINARY_DIR}/tarvelTargets.cmake)

configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/tarvelConfig.cmake.in
                              ${PROJECT_BINARY_DIR}/tarvelConfig.cmake
                              INSTALL_DESTINATION ${TARVEL_INSTALL_CMAKEDIR})
# Before 1.0 a minor release may change the API, so only the same major.minor is compatible.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/tarvelConfigVersion.cmake
                                 COMPATIBILITY SameMinorVersion)
install(FILES ${PROJECT_BINARY_DIR}/tarvelConfig.cmake
              ${PROJECT_BINARY_DIR}/tarvelConfigVersion.cmake
        DESTINATION ${TARVEL_INSTALL_CMAKEDIR})

# The .pc file finds its prefix from its own location, so an install moved elsewhere or made
# with `cmake --install --prefix` still points at the right directories.
if(IS_ABSOLUTE "${TARVEL_INSTALL_PKGCONFIGDIR}")
  set(tarvel_pc_prefix "${CMAKE_INSTALL_PREFIX}")
else()
  file(RELATIVE_PATH tarvel_pc_up "/prefix/${TARVEL_INSTALL_PKGCONFIGDIR}" "/prefix")
  string(REGEX REPLACE "/$" "" tarvel_pc_up "${tarvel_pc_up}")
  set(tarvel_pc_prefix "\${pcfiledir}/${tarvel_pc_up}")
endif()
foreach(dir LIBDIR INCLUDEDIR)
  if(IS_ABSOLUTE "${CMAKE_INSTALL_${dir}}")
    set(tarvel_pc_${dir} "${CMAKE_INSTALL_${dir}}")
  else()
    set(tarvel_pc_${dir} "\${prefix}/${CMAKE_INSTALL_${dir}}")
  endif()
endforeach()
# oneTBB is linked into a shared library; a static one leaves it to the program.
if(BUILD_SHARED_LIBS)
  set(tarvel_pc_cflags "")
  set(tarvel_pc_libs "")
  set(tarvel_pc_libs_private "Libs.private: -ltbb")
else()
  set(tarvel_pc_cflags " -DTARVEL_STATIC_DEFINE")
  set(tarvel_pc_libs " -ltbb")
  set(tarvel_pc_libs_private "")
endif()
configure_file(${PROJECT_SOURCE_DIR}/cmake/tarvel.pc.in ${PROJECT_BINARY_DIR}/tarvel.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/tarvel.pc DESTINATION ${TARVEL_INSTALL_PKGCONFIGDIR})

# The libraries above the runtime (generation, chat templates, the tokenizer, checkpoint import)
# install the same
# way, each with its public headers, its target in the package and a .pc file of its own:
#   find_package(tarvel CONFIG COMPONENTS checkpoint generate)  gives tarvel::checkpoint, ...
#   pkg-config --cflags --libs tarvel-checkpoint
# Generation needs nothing beyond the runtime, and chat templates and the GGUF reader nothing
# beyond the standard library (nlohmann-json is used inside their sources only), so they are
# exported with it. The tokenizer and
# checkpoint import need SentencePiece and nlohmann-json, so they form a component of their own,
# loaded only where those are found.
function(tarvel_install_library target export_set name pc_requires)
  set_target_properties(${target} PROPERTIES EXPORT_NAME ${name})
  install(TARGETS ${target} EXPORT ${export_set}
          ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
          FILE_SET HEADERS DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
  set(tarvel_component_name ${name})
  set(tarvel_component_requires ${pc_requires})
  configure_file(${PROJECT_SOURCE_DIR}/cmake/tarvel-component.pc.in
                 ${PROJECT_BINARY_DIR}/tarvel-${name}.pc @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/tarvel-${name}.pc DESTINATION ${TARVEL_INSTALL_PKGCONFIGDIR})
endfunction()
