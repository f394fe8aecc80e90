# kest_messages(<var> <generated header>): the record names of its <PREFIX>_MESSAGES
# list, for whatever CMake builds or checks once per message.
function(kest_messages var header)
  file(READ "${header}" text)
  string(REGEX MATCH "#define [A-Z0-9_]*_MESSAGES\\(X\\)([^\n]*\\\\\n)*[^\n]*" list "${text}")
  string(REGEX MATCHALL "X\\([a-z0-9_]+\\)" items "${list}")
  list(TRANSFORM items REPLACE "X\\(([a-z0-9_]+)\\)" "\\1")
  if(NOT items)
    message(FATAL_ERROR "no _MESSAGES list in ${header}")
  endif()
  set(${var} ${items} PARENT_SCOPE)
endfunction()

# kest_message_sources(<var> <message>...): each message's translation unit,
# srg/<msg>.kest.cpp. One per message keeps every compile small and lets them run
# side by side.
function(kest_message_sources var)
  set(sources)
  foreach(msg IN LISTS ARGN)
    file(GLOB found ${PROJECT_SOURCE_DIR}/srg/${msg}.kest.cpp)
    list(LENGTH found n)
    if(NOT n EQUAL 1)
      message(FATAL_ERROR "${msg}: no srg/${msg}.kest.cpp; scripts/generate.sh writes it")
    endif()
    list(APPEND sources ${found})
  endforeach()
  set(${var} ${sources} PARENT_SCOPE)
endfunction()
