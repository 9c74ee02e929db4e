# The Tessly package for CMake projects: find_package(Tessly) after `make install` (or with
# the dist/ folder on CMAKE_PREFIX_PATH). It gives
#
#   Tessly::mksfx           the builder, an imported program
#   TESSLY_MKSFX            its path, TESSLY_STUB the stub it uses
#   tessly_add_setup(...)   a setup file made at build time from targets, folders and files
#   TESSLY_CPACK_SCRIPT     the script of CPack's External generator that packs an install
#                           tree with mksfx (see the end of this file)
#
# The package finds everything relative to its own folder (PREFIX/lib/cmake/Tessly), so an
# installed tree may be moved anywhere.
get_filename_component(_tessly_prefix "${CMAKE_CURRENT_LIST_DIR}/../../.." ABSOLUTE)

if(CMAKE_HOST_WIN32)
  set(TESSLY_MKSFX "${_tessly_prefix}/bin/mksfx.exe")
else()
  set(TESSLY_MKSFX "${_tessly_prefix}/bin/mksfx")
endif()
set(TESSLY_STUB "${_tessly_prefix}/share/tessly/sfxstub.exe")
set(TESSLY_CPACK_SCRIPT "${CMAKE_CURRENT_LIST_DIR}/TesslyCPack.cmake")
unset(_tessly_prefix)

foreach(_tessly_file IN ITEMS "${TESSLY_MKSFX}" "${TESSLY_STUB}")
  if(NOT EXISTS "${_tessly_file}")
    set(Tessly_FOUND FALSE)
    set(Tessly_NOT_FOUND_MESSAGE "the package is incomplete: ${_tessly_file} is missing")
    return()
  endif()
endforeach()
unset(_tessly_file)

if(NOT TARGET Tessly::mksfx)
  add_executable(Tessly::mksfx IMPORTED GLOBAL)
  set_target_properties(Tessly::mksfx PROPERTIES IMPORTED_LOCATION "${TESSLY_MKSFX}")
endif()
# CPack reads the builder's path from its own configuration, where only CPACK_ variables go.
if(NOT DEFINED CPACK_TESSLY_MKSFX)
  set(CPACK_TESSLY_MKSFX "${TESSLY_MKSFX}")
endif()

# tessly_add_setup(NAME OUTPUT FILE FROM ITEM... [COMMAND CMD] [TEXT TEXT] [CAPTION TEXT]
#                  [ICON FILE] [OPTIONS MKSFX-OPTION...] [DEPENDS FILE-OR-TARGET...] [ALL])
#
# Adds the target NAME, which makes the setup file FILE (relative: in the current build
# folder) with `mksfx build`. Each FROM item is a target, whose file becomes a member under
# its own name, or a folder (its contents) or file, relative to the current source folder.
# The file is made again whenever a target it packs is rebuilt or a file of a FROM folder
# changes (folders are read again when CMake runs). OPTIONS go to mksfx as they are, e.g.
# OPTIONS --product-version 2.1 --elevation admin. With ALL the target is part of the
# default build.
function(tessly_add_setup name)
  cmake_parse_arguments(PARSE_ARGV 1 arg "ALL" "OUTPUT;COMMAND;TEXT;CAPTION;ICON"
                        "FROM;OPTIONS;DEPENDS")
  if(arg_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "tessly_add_setup(${name}): unknown arguments: ${arg_UNPARSED_ARGUMENTS}")
  endif()
  if(NOT arg_OUTPUT OR NOT arg_FROM)
    message(FATAL_ERROR "tessly_add_setup(${name}): OUTPUT and FROM are required")
  endif()
  get_filename_component(output "${arg_OUTPUT}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_BINARY_DIR}")

  set(inputs)
  set(depends ${arg_DEPENDS})
  foreach(item IN LISTS arg_FROM)
    if(TARGET "${item}")
      list(APPEND inputs "$<TARGET_FILE:${item}>")
      list(APPEND depends "${item}")
    else()
      get_filename_component(path "${item}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_SOURCE_DIR}")
      if(IS_DIRECTORY "${path}")
        file(GLOB_RECURSE files LIST_DIRECTORIES false CONFIGURE_DEPENDS "${path}/*")
        list(APPEND depends ${files})
      elseif(EXISTS "${path}")
        list(APPEND depends "${path}")
      else()
        message(FATAL_ERROR "tessly_add_setup(${name}): FROM ${item} is neither a target, "
                            "a folder nor a file")
      endif()
      list(APPEND inputs "${path}")
    endif()
  endforeach()

  set(options)
  foreach(option IN ITEMS COMMAND TEXT CAPTION ICON)
    if(DEFINED arg_${option})
      string(TOLOWER "${option}" word)
      list(APPEND options "--${word}" "${arg_${option}}")
    endif()
  endforeach()
  if(DEFINED arg_ICON)
    get_filename_component(icon "${arg_ICON}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_SOURCE_DIR}")
    list(REMOVE_AT options -1)
    list(APPEND options "${icon}")
    list(APPEND depends "${icon}")
  endif()

  get_filename_component(shown "${output}" NAME)
  add_custom_command(OUTPUT "${output}"
    COMMAND Tessly::mksfx build -q -o "${output}" ${options} ${arg_OPTIONS} -- ${inputs}
    DEPENDS ${depends} "${TESSLY_MKSFX}"
    COMMENT "Making the setup file ${shown}"
    VERBATIM COMMAND_EXPAND_LISTS)
  if(arg_ALL)
    add_custom_target(${name} ALL DEPENDS "${output}")
  else()
    add_custom_target(${name} DEPENDS "${output}")
  endif()
  set_target_properties(${name} PROPERTIES TESSLY_SETUP_FILE "${output}")
endfunction()
