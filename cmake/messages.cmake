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

# kest_message_sources(<var> <message>...): each message's translation unit, the
# `<msg>.cpp` beside its description. One per message keeps every compile small and
# lets them run side by side.
function(kest_message_sources var)
  set(sources)
  foreach(msg IN LISTS ARGN)
    file(GLOB found ${PROJECT_SOURCE_DIR}/*/${msg}.cpp)
    list(LENGTH found n)
    if(NOT n EQUAL 1)
      message(FATAL_ERROR "${msg}: expected one ${msg}.cpp beside its description, found ${n}")
    endif()
    list(APPEND sources ${found})
  endforeach()
  set(${var} ${sources} PARENT_SCOPE)
endfunction()
