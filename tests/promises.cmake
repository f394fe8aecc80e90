# Promises that need a process of their own. Included from tests/CMakeLists.txt.

# The library never allocates on its own: malloc and operator new are interposed for
# the whole process, which no sanitizer's allocator tolerates.
if(NOT KEST_SANITIZE AND NOT CMAKE_CXX_FLAGS MATCHES "-fsanitize")
  add_executable(kest_no_alloc_check ${CMAKE_CURRENT_LIST_DIR}/no_alloc_check.cpp)
  target_link_libraries(kest_no_alloc_check PRIVATE kest kest_schema GTest::gtest_main)
  # Exported, so that calls from the shared library reach the interposed functions.
  set_target_properties(kest_no_alloc_check PROPERTIES ENABLE_EXPORTS ON)
  add_test(NAME no_alloc COMMAND kest_no_alloc_check)
endif()

# Calls on different records at the same time; scripts/test.sh also runs it under
# ThreadSanitizer. The library's sources are built in, because a sanitizer runtime
# resolves only in an executable and libkest.so links with --no-undefined.
find_package(Threads REQUIRED)
add_executable(kest_threads_check ${CMAKE_CURRENT_LIST_DIR}/threads_check.cpp
  ${PROJECT_SOURCE_DIR}/srg/srg.cpp ${PROJECT_SOURCE_DIR}/dhcp/dhcp.cpp)
target_link_libraries(kest_threads_check PRIVATE kest_schema GTest::gtest_main Threads::Threads)
add_test(NAME threads COMMAND kest_threads_check)
