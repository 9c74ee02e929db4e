# Checks the built stub's import table: it names only kernel32, user32, gdi32 and shell32,
# libraries the system loads from its own folder, so that the loader never searches for one
# (and finds a library planted beside the setup file). A new call into any other library
# fails the build here. Run with -DFILE=stub -DOBJDUMP=objdump.
execute_process(COMMAND ${OBJDUMP} -p ${FILE} OUTPUT_VARIABLE dump RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "${OBJDUMP} -p ${FILE} failed")
endif()
string(REGEX MATCHALL "DLL Name: [^\n]*" names "${dump}")
if(NOT names)
  message(FATAL_ERROR "${FILE} has no import table")
endif()
foreach(line ${names})
  string(REGEX REPLACE "^DLL Name: *" "" library "${line}")
  string(TOLOWER "${library}" library)
  if(NOT library MATCHES "^(kernel32|user32|gdi32|shell32)\\.dll$")
    message(FATAL_ERROR "${FILE} imports from ${library}: only kernel32, user32, gdi32 and shell32 are allowed")
  endif()
endforeach()
