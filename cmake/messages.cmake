# kest_messages(<var> <path to kest.h>): the record names of the KEST_MESSAGES list,
# for whatever CMake builds or checks once per message.
function(kest_messages var header)
  file(READ "${header}" text)
  string(REGEX MATCH "#define KEST_MESSAGES\\(X\\)([^\n]*\\\\\n)*[^\n]*" list "${text}")
  string(REGEX MATCHALL "X\\([a-z0-9_]+\\)" items "${list}")
  list(TRANSFORM items REPLACE "X\\(([a-z0-9_]+)\\)" "\\1")
  if(NOT items)
    message(FATAL_ERROR "no KEST_MESSAGES list in ${header}")
  endif()
  set(${var} ${items} PARENT_SCOPE)
endfunction()
