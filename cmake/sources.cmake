# The program's sources, shared by both trees. The dialog parts (ui/) other than the pumps
# and the progress display, and the Windows halves of start-up (startup/win32/), are
# Windows-only; the Linux core adds the POSIX stand-in instead.
file(GLOB TESSLY_CORE_SOURCES CONFIGURE_DEPENDS
  ${CMAKE_SOURCE_DIR}/base/*.cpp
  ${CMAKE_SOURCE_DIR}/startup/*.cpp
  ${CMAKE_SOURCE_DIR}/archive/*.cpp
  ${CMAKE_SOURCE_DIR}/inflate/*.cpp
  ${CMAKE_SOURCE_DIR}/lzma/*.cpp
  ${CMAKE_SOURCE_DIR}/ui/pumps.cpp
  ${CMAKE_SOURCE_DIR}/ui/progress.cpp)
file(GLOB TESSLY_UI_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/ui/*.cpp
  ${CMAKE_SOURCE_DIR}/startup/win32/*.cpp)
list(REMOVE_ITEM TESSLY_UI_SOURCES ${CMAKE_SOURCE_DIR}/ui/pumps.cpp
  ${CMAKE_SOURCE_DIR}/ui/progress.cpp)
