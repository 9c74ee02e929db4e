# CPack's External generator packs an install tree into one setup file with mksfx. In the
# project, after find_package(Tessly):
#
#   set(CPACK_GENERATOR External)
#   set(CPACK_EXTERNAL_ENABLE_STAGING ON)
#   set(CPACK_EXTERNAL_PACKAGE_SCRIPT "${TESSLY_CPACK_SCRIPT}")
#   set(CPACK_TESSLY_COMMAND "setup.exe /quiet")         # the command started after extraction
#   set(CPACK_TESSLY_OPTIONS --product-version 2.1)      # any other mksfx build options
#   include(CPack)
#
# `cmake --build . --target package` (or cpack) then installs the project into CPack's staging
# folder and writes CPACK_PACKAGE_FILE_NAME.exe from it into the build folder. Members are
# named relative to the install prefix; components, if the project has any, go into the one
# file together. The product name and version default to CPack's package name and version.
if(NOT CPACK_TESSLY_MKSFX)
  message(FATAL_ERROR "Tessly: CPACK_TESSLY_MKSFX is not set (find_package(Tessly) sets it)")
endif()
if(NOT CPACK_TEMPORARY_DIRECTORY OR NOT IS_DIRECTORY "${CPACK_TEMPORARY_DIRECTORY}")
  message(FATAL_ERROR "Tessly: no staging folder; set CPACK_EXTERNAL_ENABLE_STAGING to ON")
endif()

set(_tessly_output "${CPACK_TOPLEVEL_DIRECTORY}/${CPACK_PACKAGE_FILE_NAME}.exe")
set(_tessly_args build -q -o "${_tessly_output}")
if(CPACK_TESSLY_COMMAND)
  list(APPEND _tessly_args --command "${CPACK_TESSLY_COMMAND}")
endif()
if(CPACK_PACKAGE_NAME AND NOT "--product-name" IN_LIST CPACK_TESSLY_OPTIONS)
  list(APPEND _tessly_args --product-name "${CPACK_PACKAGE_NAME}")
endif()
if(CPACK_PACKAGE_VERSION AND NOT "--product-version" IN_LIST CPACK_TESSLY_OPTIONS)
  list(APPEND _tessly_args --product-version "${CPACK_PACKAGE_VERSION}")
endif()
if(CPACK_PACKAGE_VENDOR AND NOT "--company" IN_LIST CPACK_TESSLY_OPTIONS)
  list(APPEND _tessly_args --company "${CPACK_PACKAGE_VENDOR}")
endif()
list(APPEND _tessly_args ${CPACK_TESSLY_OPTIONS})

# The staged tree: the install prefix below the staging folder (and, with components, one
# such tree per component, all of which are packed).
set(_tessly_roots)
if(CPACK_COMPONENTS_ALL)
  foreach(_tessly_component IN LISTS CPACK_COMPONENTS_ALL)
    list(APPEND _tessly_roots "${CPACK_TEMPORARY_DIRECTORY}/${_tessly_component}${CPACK_PACKAGING_INSTALL_PREFIX}")
  endforeach()
else()
  list(APPEND _tessly_roots "${CPACK_TEMPORARY_DIRECTORY}${CPACK_PACKAGING_INSTALL_PREFIX}")
endif()

execute_process(COMMAND "${CPACK_TESSLY_MKSFX}" ${_tessly_args} -- ${_tessly_roots}
                RESULT_VARIABLE _tessly_result)
if(NOT _tessly_result EQUAL 0)
  message(FATAL_ERROR "Tessly: mksfx failed (${_tessly_result}) making ${_tessly_output}")
endif()
set(CPACK_EXTERNAL_BUILT_PACKAGES "${_tessly_output}")
