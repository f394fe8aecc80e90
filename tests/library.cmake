# cmake -DLIB=<libkest.so> -DHEADER=<srg.kest.h> -DINSTRUMENTED=<bool> [-DNM=<the target's nm>] -P library.cmake
# The library exports the four operations of every message alone; uninstrumented, it imports
# only byte copying and filling and has no writable data beyond the C runtime's.
include(${CMAKE_CURRENT_LIST_DIR}/../cmake/messages.cmake)
kest_messages(messages ${HEADER})
if(NOT NM)
  set(NM nm)
endif()
function(nm var)  # the lines `nm ARGN` prints, as a list, symbol versions cut
  execute_process(COMMAND ${NM} ${ARGN} ${LIB} OUTPUT_VARIABLE out RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "nm ${ARGN} ${LIB} failed")
  endif()
  string(REGEX REPLACE "@[^\n]*" "" out "${out}")
  string(REGEX MATCHALL "[^\n]+" out "${out}")
  set(${var} "${out}" PARENT_SCOPE)
endfunction()

set(expected)
foreach(msg IN LISTS messages)
  list(APPEND expected kest_${msg}_decode_ext kest_${msg}_duplicate kest_${msg}_encode_ext kest_${msg}_free_ext)
endforeach()
list(SORT expected)
nm(exported -D --defined-only --format=just-symbols)
list(SORT exported)
if(NOT exported STREQUAL expected)
  message(FATAL_ERROR "exports:\n  ${exported}\nexpected:\n  ${expected}")
endif()

if(INSTRUMENTED)  # the hooks and data of sanitizers and coverage counters are neither
  return()
endif()
nm(imported -D --undefined-only --format=just-symbols)
list(FILTER imported EXCLUDE REGEX "^(memcpy|memset|memmove|_ITM_.*|__cxa_finalize|__gmon_start__)$")
if(imported)
  message(FATAL_ERROR "imports more than byte copying and filling: ${imported}")
endif()

nm(state --defined-only)
list(FILTER state INCLUDE REGEX " [bBdD] ")  # below: the linker's and C runtime's own (_gp: MIPS's global pointer, _SDA_BASE_: 32-bit PowerPC's small-data base)
list(FILTER state EXCLUDE REGEX " (_DYNAMIC|_gp|_SDA_BASE_|_GLOBAL_OFFSET_TABLE_|__TMC_END__|__dso_handle|completed\\.0|__do_global_dtors_aux_fini_array_entry|__frame_dummy_init_array_entry)$")
# The engine's tables hold addresses, so they are relocated at load; RELRO makes them read-only.
list(FILTER state EXCLUDE REGEX " _ZN4kest4core(8table_of|7rows_of)I")
if(state)
  message(FATAL_ERROR "writable state: ${state}")
endif()
