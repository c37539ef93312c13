# Fails when a source file under src/ includes a project header from a folder it may not use.
#
#   cmake -DSOURCE_DIR=<repository>/src -P check_includes.cmake
#
# The folders form layers; each may include its own headers and those of the folders it lists. The
# core (tasks .. document) never reaches the Qt folders, and nothing reaches upwards.
cmake_minimum_required(VERSION 3.25)

set(allowed_tasks    tasks)
set(allowed_storage  storage tasks)
set(allowed_edit     edit storage tasks)
set(allowed_formats  formats edit storage tasks)
set(allowed_playback playback storage tasks)
set(allowed_document document formats edit storage tasks)
set(allowed_controls controls)
set(allowed_view     view controls playback document formats edit storage tasks)
set(allowed_app      app view controls playback document formats edit storage tasks)
set(layers tasks storage edit formats playback document controls view app)

if(NOT SOURCE_DIR)
  message(FATAL_ERROR "pass -DSOURCE_DIR=<repository>/src")
endif()

set(violations "")
file(GLOB_RECURSE sources RELATIVE "${SOURCE_DIR}" "${SOURCE_DIR}/*.h" "${SOURCE_DIR}/*.cpp" "${SOURCE_DIR}/*.in")
foreach(source IN LISTS sources)
  string(REGEX MATCH "^[^/]+" folder "${source}")
  if(source STREQUAL folder)
    continue()  # a file at the top of src/
  endif()
  if(NOT folder IN_LIST layers)
    list(APPEND violations "${source}: the folder ${folder} has no place in the layers")
    continue()
  endif()
  file(STRINGS "${SOURCE_DIR}/${source}" lines REGEX "^[ \t]*#[ \t]*include[ \t]*\"")
  foreach(line IN LISTS lines)
    string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]*\"([^\"]*)\".*" "\\1" header "${line}")
    if(NOT header MATCHES "/")
      continue()  # a header beside the file, or generated into its build folder
    endif()
    string(REGEX MATCH "^[^/]+" target_folder "${header}")
    if(NOT target_folder IN_LIST layers)
      continue()  # not one of ours
    endif()
    if(NOT target_folder IN_LIST allowed_${folder})
      list(APPEND violations "${source}: includes \"${header}\", but ${folder}/ may use only: ${allowed_${folder}}")
    endif()
  endforeach()
endforeach()

if(violations)
  list(JOIN violations "\n  " text)
  message(FATAL_ERROR "wrong-way includes:\n  ${text}")
endif()
list(LENGTH sources count)
message(STATUS "${count} files include only what their layer may use")
