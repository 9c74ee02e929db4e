# Windows tree: the stub, with no C runtime, and the test programs that run under Wine.
set(CMAKE_CXX_STANDARD 17)
enable_language(ASM)
include(${CMAKE_SOURCE_DIR}/cmake/sources.cmake)

# The host tree generates the message table and the message ids: TESSLY_MESSAGE_TABLE is
# the table's source, TESSLY_MESSAGE_INCLUDE the folder under which generated/messages.h is.
if(NOT TESSLY_MESSAGE_TABLE OR NOT EXISTS ${TESSLY_MESSAGE_INCLUDE}/generated/messages.h)
  message(FATAL_ERROR "TESSLY_MESSAGE_TABLE (the generated table source) and TESSLY_MESSAGE_INCLUDE "
                      "(the folder of generated/messages.h) must be given")
endif()

# The stubs: their objects, the message table, and an ordinary import table bound by the
# loader. Two are built from the same sources: sfxstub.exe reads the ZIP form alone, and
# sfxstub-solid.exe (TESSLY_SOLID) also the solid form, with the LZMA decoder.
# Small: link-time optimisation across the files and no 16-byte stack alignment (the stub
# uses no SSE). -Oz on everything would save more, but extraction under it was visibly slower;
# it is used for the code that runs rarely (below). Arrays keep the alignment of their
# elements rather than 32 bytes (-malign-data=abi), and calls in tail position stay calls,
# which is smaller here than the jumps with their stack adjustments. No partial inlining (the
# early exits of a function copied into its callers) and no shrink-wrapping (the prologue moved
# past such exits): both copy code, and without them the solid stub is 52 bytes smaller.
set(TESSLY_STUB_OPTIONS
  -Os -fno-partial-inlining -fno-shrink-wrap -flto -mpreferred-stack-boundary=2 -march=i386
  -mtune=i686 -fno-exceptions -fno-rtti
  -fno-asynchronous-unwind-tables -fno-unwind-tables -fno-stack-protector -fno-ident -ffunction-sections
  -fno-threadsafe-statics -fomit-frame-pointer -mno-stack-arg-probe -malign-data=abi
  -fno-optimize-sibling-calls -Wall -Wextra
  -Wno-unused-parameter -Wno-cast-function-type -Wno-missing-field-initializers)

# tessly_stub(NAME LIMIT SOLID SOURCES...): the stub NAME.exe, which must stay within LIMIT
# bytes and import from the four system libraries alone (printed and checked after the link).
function(tessly_stub name limit solid)
  add_library(${name}_objects OBJECT ${ARGN} ${CMAKE_SOURCE_DIR}/startup/runtime/freestanding.cpp
    ${TESSLY_MESSAGE_TABLE})
  target_include_directories(${name}_objects PRIVATE ${CMAKE_SOURCE_DIR} ${TESSLY_MESSAGE_INCLUDE})
  target_compile_options(${name}_objects PRIVATE ${TESSLY_STUB_OPTIONS})
  target_compile_definitions(${name}_objects PRIVATE TESSLY_SOLID=${solid})
  add_executable(${name} WIN32 $<TARGET_OBJECTS:${name}_objects>)
  target_link_options(${name} PRIVATE
    -Os -fno-partial-inlining -fno-shrink-wrap -flto -fno-optimize-sibling-calls -nostdlib -nostartfiles -Wl,--entry=_EntryPoint -Wl,--gc-sections -s
    -Wl,--file-alignment=512 -Wl,--section-alignment=4096 -Wl,--no-insert-timestamp
    -Wl,--disable-reloc-section -Wl,--disable-dynamicbase -Wl,--nxcompat
    -Wl,--major-subsystem-version=4 -Wl,--minor-subsystem-version=0
    -Wl,-T,${CMAKE_SOURCE_DIR}/cmake/sfxstub.ld)
  set_target_properties(${name} PROPERTIES LINK_DEPENDS ${CMAKE_SOURCE_DIR}/cmake/sfxstub.ld)
  target_link_libraries(${name} PRIVATE kernel32 user32 gdi32 shell32 gcc)
  set_target_properties(${name} PROPERTIES OUTPUT_NAME ${name} SUFFIX .exe
    RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
  add_custom_command(TARGET ${name} POST_BUILD
    COMMAND ${CMAKE_COMMAND} -DFILE=$<TARGET_FILE:${name}> -DOBJDUMP=${CMAKE_OBJDUMP}
            -P ${CMAKE_SOURCE_DIR}/cmake/checkimports.cmake
    COMMAND ${CMAKE_COMMAND} -DFILE=$<TARGET_FILE:${name}> -DLIMIT=${limit}
            -P ${CMAKE_SOURCE_DIR}/cmake/checksize.cmake)
endfunction()

tessly_stub(sfxstub 24576 0 ${TESSLY_CORE_SOURCES} ${TESSLY_UI_SOURCES})
tessly_stub(sfxstub-solid 32768 1 ${TESSLY_CORE_SOURCES} ${TESSLY_UI_SOURCES})

# Test programs for Wine (each tests/windows/NAME.c or .cpp becomes NAME.exe).
file(GLOB TESSLY_WINE_PROGRAMS CONFIGURE_DEPENDS
  ${CMAKE_SOURCE_DIR}/tests/windows/*.c ${CMAKE_SOURCE_DIR}/tests/windows/*.cpp)
foreach(src ${TESSLY_WINE_PROGRAMS})
  get_filename_component(name ${src} NAME_WE)
  add_executable(${name} ${src})
  target_link_options(${name} PRIVATE -static -static-libgcc)
  # Programs that build core parts.
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR} ${TESSLY_MESSAGE_INCLUDE})
  target_link_libraries(${name} PRIVATE user32 gdi32 kernel32)
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/testprogs)
endforeach()

# The on-target benchmark's yardstick, a plain extractor with zlib (libz-mingw-w64-dev); built
# only by `make bench-target`.
add_executable(plain_extract EXCLUDE_FROM_ALL ${CMAKE_SOURCE_DIR}/bench/windows/plain_extract.c)
target_compile_options(plain_extract PRIVATE -O2)
target_link_options(plain_extract PRIVATE -static -static-libgcc)
target_link_libraries(plain_extract PRIVATE z user32 kernel32)
set_target_properties(plain_extract PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/benchprogs)
# What runs once a member or once a run (start-up, the dialog, folders, the walk, the
# building of decoding tables) is built for size alone: -Oz there keeps the stub inside its
# limit, while the loops that every byte passes through (decoding, CRC, output) stay at -Os.
# Not every file is smaller at -Oz after link-time optimisation: archive/names.cpp,
# archive/output.cpp, archive/solid.cpp and lzma/decode.cpp come out larger, and stay at -Os.
# The reader (once a run of 64 KiB) and the central directory's checks (once a member) are
# cold enough, and keep the solid stub at 32 KiB. So are the x86 branch converter, a byte scan
# many times quicker than the LZMA decoding it follows even at -Oz (40 bytes less there), and
# the freestanding memset and memcmp (12 bytes).
# In the cold code the loop optimisations (induction variables, hoisting out of loops, sinking
# into branches) add more bytes than they save cycles worth having: off there, the stub is 200
# bytes smaller; so does moving loop invariants (RTL), the dominator optimisations and full
# redundancy elimination there (60 bytes).
# In the hot files they pay, and stay on.
file(GLOB TESSLY_COLD_SOURCES ${CMAKE_SOURCE_DIR}/startup/*.cpp ${CMAKE_SOURCE_DIR}/startup/win32/*.cpp
  ${CMAKE_SOURCE_DIR}/ui/*.cpp
  ${CMAKE_SOURCE_DIR}/base/failure.cpp ${CMAKE_SOURCE_DIR}/base/userbox.cpp
  ${CMAKE_SOURCE_DIR}/base/messages.cpp ${CMAKE_SOURCE_DIR}/base/text.cpp
  ${CMAKE_SOURCE_DIR}/archive/removal.cpp
  ${CMAKE_SOURCE_DIR}/archive/paths.cpp ${CMAKE_SOURCE_DIR}/archive/walker.cpp
  ${CMAKE_SOURCE_DIR}/archive/solidheader.cpp ${CMAKE_SOURCE_DIR}/archive/views.cpp
  ${CMAKE_SOURCE_DIR}/archive/reader.cpp
  ${CMAKE_SOURCE_DIR}/inflate/huffman.cpp ${CMAKE_SOURCE_DIR}/lzma/x86.cpp ${CMAKE_SOURCE_DIR}/startup/runtime/freestanding.cpp)
set_source_files_properties(${TESSLY_COLD_SOURCES} TARGET_DIRECTORY sfxstub_objects sfxstub-solid_objects
  PROPERTIES COMPILE_OPTIONS "-Oz;-fno-tree-loop-optimize;-fno-ivopts;-fno-tree-loop-im;-fno-tree-sink;-fno-move-loop-invariants;-fno-tree-dominator-opts;-fno-tree-fre")

# The builder for Windows, mksfx.exe (cmake/mksfxexe.cmake).
include(${CMAKE_SOURCE_DIR}/cmake/mksfxexe.cmake)
