# GoogleTest built from Debian's sources, so that the cross builds and the sanitizer
# builds get a copy compiled with their own flags.
set(QZ_GTEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources")
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
set(gtest_disable_pthreads OFF CACHE BOOL "" FORCE)
add_subdirectory(${QZ_GTEST_SOURCE} ${CMAKE_BINARY_DIR}/_deps/googletest EXCLUDE_FROM_ALL SYSTEM)

# qz_test_program(TARGET): a program that tests run (a test binary or a helper process it
# starts). On Windows a crash ends it with a failure; wine's debugger would end it with 0.
function(qz_test_program target)
  if(WIN32)
    target_sources(${target} PRIVATE ${CMAKE_SOURCE_DIR}/platform/tests/crash_exit_win32.cpp)
  endif()
endfunction()

# qz_test_properties(TEST): the time limit and environment of one CTest entry.
function(qz_test_properties test)
  set_tests_properties(${test} PROPERTIES TIMEOUT 600)
  if(WIN32)
    # wine checks the heap: a use after free or a double free fails the test even when
    # nothing crashes. It also reports a lock waited on for more than a few seconds (err:sync,
    # with the threads involved), which shows where a hang is; the hang itself ends in the
    # time limit. Child processes inherit the setting and write to the same output.
    set_property(TEST ${test} APPEND PROPERTY ENVIRONMENT "WINEDEBUG=-all,warn+heap,err+sync")
    set_tests_properties(${test} PROPERTIES FAIL_REGULAR_EXPRESSION "warn:heap|err:heap")
  else()
    # The product finds the driver library through the normal search; sanitizer runtimes
    # keep dlopen from using the executable's RPATH, so name the directory outright.
    set_property(TEST ${test} APPEND PROPERTY ENVIRONMENT "LD_LIBRARY_PATH=${CMAKE_BINARY_DIR}/bin")
  endif()
endfunction()

# qz_add_test(NAME [NO_MAIN] SOURCES... LIBS ...): one test binary, one CTest entry. Under
# the cross builds CTest runs it through the emulator (wine64). NO_MAIN: the sources bring
# their own main() (for example to serve a child-process mode before GoogleTest starts).
function(qz_add_test name)
  cmake_parse_arguments(T "NO_MAIN" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest)
  if(NOT T_NO_MAIN)
    target_link_libraries(${name} PRIVATE GTest::gtest_main)
  endif()
  qz_test_program(${name})
  add_test(NAME ${name} COMMAND ${name} --gtest_brief=1)
  qz_test_properties(${name})
endfunction()
