# Holds the library's layering: cmake -DSOURCE_DIR=<repository root> -P check_layers.cmake
#
# The folders of tarvel/ form layers, listed from the bottom up. A file may include headers of
# its own layer and of the layers below it, never of one above; a public header (any .hpp not
# inside a detail/ folder) never includes an internal one, since internals are not installed.
# A folder missing from the list fails the check, so that a new one is given its place.
# The last five are libraries of their own on top of the runtime.
set(tarvel_layers core format spec ops model kv tokenizer gguf checkpoint reference generate chat
    serve)

if(NOT SOURCE_DIR)
  message(FATAL_ERROR "check_layers.cmake needs -DSOURCE_DIR=<repository root>")
endif()
set(root ${SOURCE_DIR}/tarvel)
set(faults "")

file(GLOB entries LIST_DIRECTORIES true RELATIVE ${root} ${root}/*)
foreach(entry ${entries})
  if(IS_DIRECTORY ${root}/${entry})
    list(FIND tarvel_layers ${entry} place)
    if(place EQUAL -1)
      list(APPEND faults "tarvel/${entry}/ is not a known layer: list it in its place in tests/check_layers.cmake")
    endif()
  endif()
endforeach()

file(GLOB_RECURSE files RELATIVE ${root} ${root}/*.hpp ${root}/*.cpp)
foreach(file ${files})
  set(public_header OFF)
  if(file MATCHES "\\.hpp$" AND NOT file MATCHES "(^|/)detail/")
    set(public_header ON)
  endif()
  if(file MATCHES "^([^/]+)/")
    list(FIND tarvel_layers ${CMAKE_MATCH_1} own_place)
  else()
    # The umbrella header stands above every layer.
    list(LENGTH tarvel_layers own_place)
  endif()

  file(STRINGS ${root}/${file} includes REGEX "^[ \t]*#[ \t]*include[ \t]*[\"<]tarvel/")
  foreach(line ${includes})
    if(NOT line MATCHES "[\"<](tarvel/[^\">]+)[\">]")
      continue()
    endif()
    set(target ${CMAKE_MATCH_1})
    if(target MATCHES "^tarvel/([^/]+)/")
      list(FIND tarvel_layers ${CMAKE_MATCH_1} target_place)
    elseif(target STREQUAL "tarvel/export.hpp" OR target STREQUAL "tarvel/version.hpp")
      # Generated from the build's settings, they depend on nothing and sit below every layer.
      set(target_place 0)
    else()
      list(LENGTH tarvel_layers target_place)
    endif()
    if(target_place EQUAL -1 OR target_place GREATER own_place)
      list(APPEND faults "tarvel/${file} includes ${target}, a layer above its own")
    endif()
    if(public_header AND target MATCHES "/detail/")
      list(APPEND faults "public header tarvel/${file} includes the internal ${target}")
    endif()
  endforeach()
endforeach()

if(faults)
  list(JOIN faults "\n  " text)
  message(FATAL_ERROR "layering broken:\n  ${text}")
endif()
list(LENGTH files count)
message(STATUS "layering holds over ${count} files")
