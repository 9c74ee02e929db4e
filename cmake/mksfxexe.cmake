# mksfx.exe: the builder for Windows, from the same sources as the Linux mksfx, on the same
# POSIX stand-in for the stub's code, with tools/common/winposix.h in front of every source
# (UTF-8 names through the wide calls, binary files). i686 like the stub: one MinGW-w64
# toolchain and one 32-bit Wine prefix serve both, and it runs on 32- and 64-bit Windows.
# SSE2 arithmetic, as x86-64 has it, so that the icon conversion's floating point follows the
# Linux build's (the x87 build gave the same bytes for the icons tried, but its extended
# precision need not).
#
# zlib is Debian's MinGW build (libz-mingw-w64-dev). libdeflate, libpng and libimagequant
# have none: their Debian source packages are fetched once into the build tree
# (scripts/debsource.sh) and compiled here. Debian has no Windows build of OpenSSL, so
# mksfx.exe cannot sign (tools/mksfx/unsigned.cpp) and names no signer.
#
# Sources of mksfx and of the core are found by the same globs as in the host tree; a library
# that mksfx takes up needs its line here too. C sources that Debian ships as they are (such
# as the LZMA SDK's LzmaEnc.c and LzFind.c in lzma-dev's /usr/include/lzma) compile in this
# tree unchanged, as one more static library like the three below.
set(TESSLY_DEBSRC ${CMAKE_BINARY_DIR}/debsrc)
execute_process(
  COMMAND bash ${CMAKE_SOURCE_DIR}/scripts/debsource.sh ${TESSLY_DEBSRC} libdeflate libpng1.6 libimagequant
  RESULT_VARIABLE fetched)
if(NOT fetched EQUAL 0)
  message(FATAL_ERROR "mksfx.exe: Debian's source packages of libdeflate, libpng and libimagequant "
                      "could not be fetched (scripts/setup.sh adds the deb-src lines apt-get source needs)")
endif()
set(TESSLY_WIN_FLAGS -O2 -msse2 -mfpmath=sse)

set(deflate ${TESSLY_DEBSRC}/libdeflate)
file(GLOB deflate_sources ${deflate}/lib/*.c ${deflate}/lib/x86/*.c)
add_library(win_deflate STATIC EXCLUDE_FROM_ALL ${deflate_sources})
target_include_directories(win_deflate PUBLIC ${deflate})
target_compile_options(win_deflate PRIVATE ${TESSLY_WIN_FLAGS})

set(png ${TESSLY_DEBSRC}/libpng1.6)
configure_file(${png}/scripts/pnglibconf.h.prebuilt ${CMAKE_BINARY_DIR}/pngconf/pnglibconf.h COPYONLY)
set(png_sources)
foreach(name png pngerror pngget pngmem pngpread pngread pngrio pngrtran pngrutil pngset pngtrans
             pngwio pngwrite pngwtran pngwutil)
  list(APPEND png_sources ${png}/${name}.c)
endforeach()
add_library(win_png STATIC EXCLUDE_FROM_ALL ${png_sources})
target_include_directories(win_png PUBLIC ${png} ${CMAKE_BINARY_DIR}/pngconf)
target_compile_options(win_png PRIVATE ${TESSLY_WIN_FLAGS})
target_link_libraries(win_png PUBLIC z)

set(quant ${TESSLY_DEBSRC}/libimagequant)
set(quant_sources)
foreach(name libimagequant blur kmeans mediancut mempool nearest pam)
  list(APPEND quant_sources ${quant}/${name}.c)
endforeach()
add_library(win_imagequant STATIC EXCLUDE_FROM_ALL ${quant_sources})
target_include_directories(win_imagequant PUBLIC ${quant})
target_compile_options(win_imagequant PRIVATE ${TESSLY_WIN_FLAGS} -std=c99 -fno-math-errno)

# The LZMA SDK's encoder and decoder, from where Debian's lzma-dev puts them, as the Linux
# mksfx compiles them (single-threaded); mksfx reads their headers without _WIN32
# (tools/mksfx/lzmasdk.h), which changes no type of their interface.
add_library(win_lzmasdk STATIC EXCLUDE_FROM_ALL /usr/include/lzma/LzmaEnc.c /usr/include/lzma/LzFind.c
            /usr/include/lzma/LzmaDec.c)
target_compile_definitions(win_lzmasdk PRIVATE _7ZIP_ST)
target_compile_options(win_lzmasdk PRIVATE ${TESSLY_WIN_FLAGS} -w)

# Every source of mksfx but signing.cpp (OpenSSL), with the core on the stand-in.
file(GLOB mksfx_exe_sources ${CMAKE_SOURCE_DIR}/tools/mksfx/*.cpp ${CMAKE_SOURCE_DIR}/tools/mksfx/pe/*.cpp
     ${CMAKE_SOURCE_DIR}/tools/mksfx/icon/*.cpp ${CMAKE_SOURCE_DIR}/tools/common/*.cpp
     ${CMAKE_SOURCE_DIR}/posix/*.cpp)
list(FILTER mksfx_exe_sources EXCLUDE REGEX "/(signing|winposix)\\.cpp$")
# The language tables that --language adds come from the host tree's generator, as the
# message table does.
set(own_tables ${TESSLY_MESSAGE_INCLUDE}/generated/own_tables.cpp)
add_executable(mksfx_exe ${mksfx_exe_sources} ${TESSLY_CORE_SOURCES} ${TESSLY_MESSAGE_TABLE}
               ${own_tables} ${CMAKE_SOURCE_DIR}/tools/common/winposix.cpp)
# The header goes in front of every C++ source of this target only: as a property of the
# sources it would also reach the stubs, which compile the core's sources in this directory.
target_compile_options(mksfx_exe PRIVATE
  "$<$<COMPILE_LANGUAGE:CXX>:SHELL:-include ${CMAKE_SOURCE_DIR}/tools/common/winposix.h>")
# mksfx's main is tessly_main here: winposix.cpp's main puts the arguments into UTF-8 first.
set_source_files_properties(${CMAKE_SOURCE_DIR}/tools/mksfx/main.cpp PROPERTIES
  COMPILE_DEFINITIONS main=tessly_main)
target_include_directories(mksfx_exe PRIVATE ${CMAKE_SOURCE_DIR} ${TESSLY_MESSAGE_INCLUDE} /usr/include/lzma
                           ${CMAKE_SOURCE_DIR}/tools/common/winposix)
target_compile_definitions(mksfx_exe PRIVATE TESSLY_STANDIN TESSLY_SOLID=1 _FILE_OFFSET_BITS=64
                           TESSLY_VERSION="${PROJECT_VERSION}")
target_compile_options(mksfx_exe PRIVATE ${TESSLY_WIN_FLAGS} -Wall -Wno-unused-parameter
                       -Wno-missing-field-initializers)
target_link_libraries(mksfx_exe PRIVATE win_deflate win_png win_imagequant win_lzmasdk z shell32)
target_link_options(mksfx_exe PRIVATE -static -Wl,--no-insert-timestamp)
set_target_properties(mksfx_exe PROPERTIES OUTPUT_NAME mksfx SUFFIX .exe
  RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
