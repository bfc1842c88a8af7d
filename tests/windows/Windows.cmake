# The test suites in a Windows build: GoogleTest built from source with the
# same compiler, and the test sources that cannot run there left out.

set(MOX_GTEST_SOURCE_DIR /usr/src/googletest CACHE PATH "GoogleTest's sources (Debian's googletest package)")
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(gtest_disable_pthreads OFF CACHE BOOL "" FORCE)
add_subdirectory(${MOX_GTEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
foreach(lib gtest gtest_main)
  if(NOT TARGET GTest::${lib})
    add_library(GTest::${lib} ALIAS ${lib})
  endif()
endforeach()

add_compile_options($<$<COMPILE_LANGUAGE:CXX>:-include${CMAKE_CURRENT_LIST_DIR}/PosixShim.h>)

# Left out, each for the reason given.
set(MOX_WINDOWS_SKIPPED)
function(mox_skip_on_windows reason)
  foreach(file ${ARGN})
    list(APPEND MOX_WINDOWS_SKIPPED ${CMAKE_CURRENT_SOURCE_DIR}/${file})
  endforeach()
  set(MOX_WINDOWS_SKIPPED ${MOX_WINDOWS_SKIPPED} PARENT_SCOPE)
endfunction()
