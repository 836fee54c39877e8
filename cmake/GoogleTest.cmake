# GoogleTest from Debian's source package, built with the project's own compiler (host or MinGW).
set(QUORVEL_GTEST_SOURCE "/usr/src/googletest" CACHE PATH "GoogleTest sources")
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
add_subdirectory(${QUORVEL_GTEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
include(GoogleTest)

# GoogleTest's headers (and on Windows <windows.h>), compiled once for every test program: parsing
# them took over a second of each test file's compile, in every build (host, sanitizers, Windows).
# GoogleTest brings most of the standard headers the program's files share; natively, adding the
# rest made the header larger to load than they were to parse.
file(CONFIGURE OUTPUT ${CMAKE_BINARY_DIR}/quorvel_test_pch.cpp CONTENT "")
add_library(quorvel_test_pch OBJECT ${CMAKE_BINARY_DIR}/quorvel_test_pch.cpp)
target_link_libraries(quorvel_test_pch PRIVATE GTest::gtest GTest::gmock)
target_precompile_headers(quorvel_test_pch PRIVATE <gtest/gtest.h> <gmock/gmock.h>
  $<$<PLATFORM_ID:Windows>:<windows.h$<ANGLE-R>>)

# quorvel_add_test(NAME name SOURCES ... LIBS ... [LABELS ...] [WINE_FIXTURE])
# Windows tests run under Wine and need the build's Wine prefix, which the wine_prefix fixture makes.
function(quorvel_add_test)
  cmake_parse_arguments(T "" "NAME;TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${T_NAME} ${T_SOURCES})
  target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main GTest::gmock)
  target_include_directories(${T_NAME} PRIVATE ${PROJECT_SOURCE_DIR}/tests)
  target_precompile_headers(${T_NAME} REUSE_FROM quorvel_test_pch)
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  add_test(NAME ${T_NAME} COMMAND ${T_NAME})
  set_tests_properties(${T_NAME} PROPERTIES TIMEOUT ${T_TIMEOUT} LABELS "${T_LABELS}")
  if(WIN32)
    set_tests_properties(${T_NAME} PROPERTIES FIXTURES_REQUIRED wine
      ENVIRONMENT "WINEPREFIX=${QUORVEL_WINEPREFIX}")
  endif()
endfunction()
