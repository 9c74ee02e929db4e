# Host (Linux) tree.
set(CMAKE_CXX_STANDARD 17)
set(CMAKE_CXX_STANDARD_REQUIRED ON)
if(NOT CMAKE_BUILD_TYPE)
  set(CMAKE_BUILD_TYPE RelWithDebInfo)
endif()

option(TESSLY_SANITIZE "Build with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)
option(TESSLY_WINDOWS "Build the Windows tree (stub and Wine test programs)" ON)
option(TESSLY_TESTS "Build the tests" ON)
option(TESSLY_FUZZ "Build the libFuzzer targets (clang; scripts/fuzz.sh)" OFF)

include(${CMAKE_SOURCE_DIR}/cmake/sources.cmake)
include(CTest)
find_package(ZLIB REQUIRED)
find_package(PkgConfig REQUIRED)
pkg_check_modules(DEFLATE REQUIRED IMPORTED_TARGET libdeflate)

if(TESSLY_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=undefined
                      -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()
add_compile_options(-Wall -Wextra -Wno-unused-parameter -Wno-missing-field-initializers)
if(TESSLY_FUZZ)
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()

# The generated message table is part of the core (tools/ adds it); the message ids it
# generates beside it, generated/messages.h, are found under the build tree's folder.
# The POSIX layer: the Windows calls of the core, and the test scripting they consult.
file(GLOB TESSLY_POSIX_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/posix/*.cpp)
add_library(core STATIC ${TESSLY_CORE_SOURCES} ${TESSLY_POSIX_SOURCES})
target_include_directories(core PUBLIC ${CMAKE_SOURCE_DIR} ${CMAKE_BINARY_DIR})
# The core reads both forms, as the solid stub does.
target_compile_definitions(core PUBLIC TESSLY_SOLID=1)
# The two decoders and the CRC-32 run over gigabytes in the tests past 4 GiB and over every
# cut of an archive: optimised, under the same sanitizers, they take a fraction of the time.
if(TESSLY_SANITIZE AND CMAKE_BUILD_TYPE STREQUAL "Debug")
  file(GLOB TESSLY_HOT_SOURCES ${CMAKE_SOURCE_DIR}/inflate/*.cpp ${CMAKE_SOURCE_DIR}/lzma/*.cpp)
  set_source_files_properties(${TESSLY_HOT_SOURCES} ${CMAKE_SOURCE_DIR}/base/crc32.cpp
                              PROPERTIES COMPILE_OPTIONS -O2)
endif()

add_subdirectory(tools)
if(TESSLY_TESTS)
  add_subdirectory(tests)
endif()
if(TESSLY_FUZZ)
  file(GLOB TESSLY_FUZZERS CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/fuzz/*.cpp)
  foreach(src ${TESSLY_FUZZERS})
    get_filename_component(name ${src} NAME_WE)
    add_executable(fuzz_${name} ${src})
    target_link_libraries(fuzz_${name} PRIVATE testsupport)
    target_link_options(fuzz_${name} PRIVATE -fsanitize=fuzzer)
  endforeach()
endif()
if(EXISTS ${CMAKE_SOURCE_DIR}/bench/CMakeLists.txt AND NOT TESSLY_SANITIZE AND NOT TESSLY_FUZZ)
  add_subdirectory(bench)
endif()

if(TESSLY_WINDOWS)
  include(ExternalProject)
  ExternalProject_Add(wintree
    SOURCE_DIR ${CMAKE_SOURCE_DIR}
    BINARY_DIR ${CMAKE_BINARY_DIR}/win
    CMAKE_ARGS
      -DCMAKE_TOOLCHAIN_FILE=${CMAKE_SOURCE_DIR}/cmake/mingw-i686.cmake
      -DCMAKE_BUILD_TYPE=MinSizeRel
      -DTESSLY_MESSAGE_TABLE=${TESSLY_MESSAGE_TABLE_SOURCE}
      -DTESSLY_MESSAGE_INCLUDE=${CMAKE_BINARY_DIR}
    BUILD_ALWAYS 1
    INSTALL_COMMAND ""
    DEPENDS message_table)
  set(TESSLY_STUB ${CMAKE_BINARY_DIR}/win/sfxstub.exe)
  set(TESSLY_SOLID_STUB ${CMAKE_BINARY_DIR}/win/sfxstub-solid.exe)
  install(FILES ${TESSLY_STUB} ${TESSLY_SOLID_STUB} DESTINATION share/tessly)
  install(PROGRAMS ${CMAKE_BINARY_DIR}/win/bin/mksfx.exe DESTINATION bin)
endif()

# The CMake package (find_package(Tessly)): its configuration, version file and the CPack
# generator script, under PREFIX/lib/cmake/Tessly.
include(CMakePackageConfigHelpers)
write_basic_package_version_file(${CMAKE_BINARY_DIR}/TesslyConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion ARCH_INDEPENDENT)
install(FILES ${CMAKE_SOURCE_DIR}/cmake/package/TesslyConfig.cmake
              ${CMAKE_SOURCE_DIR}/cmake/package/TesslyCPack.cmake
              ${CMAKE_BINARY_DIR}/TesslyConfigVersion.cmake
        DESTINATION lib/cmake/Tessly)
