# GoogleTest for a cross build: compiled from the sources that Debian's
# libgtest-dev installs in /usr/src/googletest, with the cross compiler.
# Found through GTest_DIR, which the cross toolchain files set.
set(VTCLIENT_GTEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources")

if(NOT TARGET gtest)
  if(NOT EXISTS ${VTCLIENT_GTEST_SOURCE}/CMakeLists.txt)
    set(GTest_FOUND FALSE)
    set(GTest_NOT_FOUND_MESSAGE "no GoogleTest sources in ${VTCLIENT_GTEST_SOURCE} (libgtest-dev)")
    return()
  endif()
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
  add_subdirectory(${VTCLIENT_GTEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
  # Keep GoogleTest's own warnings out of the project's clean build.
  foreach(t gtest gtest_main gmock gmock_main)
    target_compile_options(${t} PRIVATE -w)
  endforeach()
endif()

foreach(t gtest gtest_main gmock gmock_main)
  if(NOT TARGET GTest::${t})
    add_library(GTest::${t} ALIAS ${t})
  endif()
endforeach()
# The names the FindGTest module used before GoogleTest had its own package.
if(NOT TARGET GTest::GTest)
  add_library(GTest::GTest ALIAS gtest)
  add_library(GTest::Main ALIAS gtest_main)
endif()
set(GTest_FOUND TRUE)
