# Checks the built stub: its size (printed; over LIMIT fails the build) and that the
# parameter block's signature occurs exactly once, since the builder and the stub's own
# header check both find the block by it.
file(SIZE ${FILE} size)
get_filename_component(name ${FILE} NAME)
message(STATUS "${name}: ${size} bytes (limit ${LIMIT}, goal 16384)")
if(size GREATER LIMIT)
  message(FATAL_ERROR "${name} is ${size} bytes, over the limit of ${LIMIT}")
endif()
file(READ ${FILE} hex HEX)
string(REGEX MATCHALL "72646b0173667802" found "${hex}")
list(LENGTH found count)
# A match must start on a byte boundary (an even hex position) to count.
string(FIND "${hex}" "72646b0173667802" first)
math(EXPR odd "${first} % 2")
if(NOT count EQUAL 1 OR odd)
  message(FATAL_ERROR "the parameter block's signature occurs ${count} times in ${name} (must be once)")
endif()
