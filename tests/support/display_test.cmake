# quorvel_add_display_test(NAME ... SOURCES ... LIBS ... LABELS ...): a GoogleTest program that
# needs a display. Under Wine, Direct2D renders through OpenGL, so these run on a private Xvfb
# screen with the GUI Wine prefix (tests/support/xvfb_wine.py), one at a time. The program's
# resources (icon, manifest, banner) are linked in. Included by every directory that uses it.

set(QUORVEL_XVFB_WINE ${PROJECT_SOURCE_DIR}/tests/support/xvfb_wine.py)
set(QUORVEL_GUI_WINEPREFIX ${CMAKE_BINARY_DIR}/wineprefix-gui)
set(QUORVEL_GUI_TEST_ENVIRONMENT
  "WINEPREFIX=${QUORVEL_WINEPREFIX};QUORVEL_GUI_WINEPREFIX=${QUORVEL_GUI_WINEPREFIX}")

function(quorvel_add_display_test)
  cmake_parse_arguments(T "" "NAME" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${T_NAME} ${T_SOURCES} $<TARGET_OBJECTS:quorvel_resources>)
  target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main)
  target_include_directories(${T_NAME} PRIVATE ${PROJECT_SOURCE_DIR}/tests)
  add_test(NAME ${T_NAME} COMMAND python3 ${QUORVEL_XVFB_WINE} --size 1920x1080 --
    ${PROJECT_SOURCE_DIR}/scripts/wine-run.sh $<TARGET_FILE:${T_NAME}>)
  set_tests_properties(${T_NAME} PROPERTIES FIXTURES_REQUIRED wine RESOURCE_LOCK xvfb_wine_gui
    TIMEOUT 120 LABELS "${T_LABELS};gui" ENVIRONMENT "${QUORVEL_GUI_TEST_ENVIRONMENT}")
endfunction()

# A D2D canvas to draw on offscreen and read back.
if(NOT TARGET quorvel_test_canvas)
  add_library(quorvel_test_canvas STATIC ${PROJECT_SOURCE_DIR}/tests/support/d2d_canvas.cpp)
  target_include_directories(quorvel_test_canvas PUBLIC ${PROJECT_SOURCE_DIR}/tests)
  target_link_libraries(quorvel_test_canvas PUBLIC libui)
endif()
