# GoogleTest built from Debian's sources, so that the cross builds and the sanitizer
# builds get a copy compiled with their own flags.
set(QZ_GTEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources")
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
set(gtest_disable_pthreads OFF CACHE BOOL "" FORCE)
add_subdirectory(${QZ_GTEST_SOURCE} ${CMAKE_BINARY_DIR}/_deps/googletest EXCLUDE_FROM_ALL SYSTEM)

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
  add_test(NAME ${name} COMMAND ${name} --gtest_brief=1)
  set_tests_properties(${name} PROPERTIES TIMEOUT 600)
  if(NOT WIN32)
    # The product finds the driver library through the normal search; sanitizer runtimes
    # keep dlopen from using the executable's RPATH, so name the directory outright.
    set_property(TEST ${name} APPEND PROPERTY ENVIRONMENT "LD_LIBRARY_PATH=${CMAKE_BINARY_DIR}/bin")
  endif()
endfunction()
