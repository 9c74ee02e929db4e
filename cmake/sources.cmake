# The program's sources, shared by both trees. The dialog parts (ui/) other than the pumps
# and the progress display are Windows-only; the Linux core adds the POSIX stand-in instead.
file(GLOB TESSLY_CORE_SOURCES CONFIGURE_DEPENDS
  ${CMAKE_SOURCE_DIR}/base/*.cpp
  ${CMAKE_SOURCE_DIR}/startup/*.cpp
  ${CMAKE_SOURCE_DIR}/archive/*.cpp
  ${CMAKE_SOURCE_DIR}/inflate/*.cpp
  ${CMAKE_SOURCE_DIR}/lzma/*.cpp
  ${CMAKE_SOURCE_DIR}/ui/pumps.cpp
  ${CMAKE_SOURCE_DIR}/ui/progress.cpp)
# The solid form's decoder: the LZMA SDK's, compiled from the system's copy of its sources
# (Debian's lzma-dev), never copied here, under our seam (lzma/lzma.cpp). The ZIP stub
# leaves it out (nothing there calls the seam).
set(TESSLY_LZMA_SDK /usr/include/lzma)
set(TESSLY_LZMA_SOURCES ${TESSLY_LZMA_SDK}/LzmaDec.c)
# Probabilities of 32 bits (_LZMA_PROB32): twice the tables' memory, but no operand-size
# prefix on every access, which makes the stub's decoder 230 bytes smaller.
set_source_files_properties(${TESSLY_LZMA_SDK}/LzmaDec.c PROPERTIES COMPILE_OPTIONS "-w"
  COMPILE_DEFINITIONS _LZMA_PROB32)
set_source_files_properties(${CMAKE_SOURCE_DIR}/lzma/lzma.cpp PROPERTIES
  INCLUDE_DIRECTORIES ${TESSLY_LZMA_SDK} COMPILE_DEFINITIONS _LZMA_PROB32)
file(GLOB TESSLY_UI_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/ui/*.cpp)
list(REMOVE_ITEM TESSLY_UI_SOURCES ${CMAKE_SOURCE_DIR}/ui/pumps.cpp
  ${CMAKE_SOURCE_DIR}/ui/progress.cpp)
