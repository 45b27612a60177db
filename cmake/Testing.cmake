# GoogleTest: Debian's packaged library natively; for the Windows cross-build it
# is compiled from Debian's googletest sources with the cross compiler.
if(CMAKE_CROSSCOMPILING)
  set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  add_subdirectory(/usr/src/googletest/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
  # Newer googletest sources define these aliases themselves.
  if(NOT TARGET GTest::gtest)
    add_library(GTest::gtest ALIAS gtest)
    add_library(GTest::gtest_main ALIAS gtest_main)
  endif()
else()
  find_package(GTest REQUIRED)
endif()

# kv_add_test(NAME SOURCES ... LIBS ... [ARGS ...]): one test executable, one
# ctest entry running it with ARGS.
function(kv_add_test name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS;ARGS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest_main GTest::gtest kv_warnings)
  add_test(NAME ${name} COMMAND ${name} ${T_ARGS})
  kv_label_quick_tests()
endfunction()

# Gives the tests of the current folder that KV_QUICK_TESTS names the label of
# the fast loop (test properties can only be set from the test's own folder).
function(kv_label_quick_tests)
  foreach(test ${KV_QUICK_TESTS})
    if(TEST ${test})
      get_test_property(${test} LABELS labels)
      if(NOT "quick" IN_LIST labels)
        set_property(TEST ${test} APPEND PROPERTY LABELS quick)
      endif()
    endif()
  endforeach()
endfunction()
