# The main window, driven offscreen: start-up, pages, the format selector, the
# options and their settings file, the menu commands; the launcher progress and
# the notifications on a private D-Bus bus.
if(IMBRIX_BUILD_GUI AND TARGET imbrix_app_ui)
  imbrix_add_test_suite(app_ui LIBS imbrix_qttestsupport imbrix_app_ui imbrix_settings Qt6::Test
                        Qt6::DBus)
  set_target_properties(imbrix_app_ui_tests PROPERTIES AUTOMOC ON)
  if(TARGET imbrix_app_ui_tests AND TARGET imbrix_app)
    # Start-up reads the version block of the built program.
    add_dependencies(imbrix_app_ui_tests imbrix_app)
  endif()
endif()

# The window's messages in German, in a program of its own: the process-wide
# language can be chosen only once.
if(IMBRIX_BUILD_GUI AND TARGET imbrix_app_ui)
  add_executable(imbrix_app_ui_german_tests ${CMAKE_CURRENT_LIST_DIR}/german/reset_german_test.cpp)
  set_target_properties(imbrix_app_ui_german_tests PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
  target_link_libraries(imbrix_app_ui_german_tests PRIVATE imbrix_testsupport GTest::gtest_main imbrix_app_ui)
  imbrix_set_warnings(imbrix_app_ui_german_tests)
  gtest_discover_tests(imbrix_app_ui_german_tests DISCOVERY_TIMEOUT 60 PROPERTIES LABELS app_ui)
endif()

# The windows' titles as the X server holds them, in a program of its own run on
# a virtual X server with the xcb platform (the other window tests run offscreen,
# where no title reaches a window system).
find_program(IMBRIX_XVFB_RUN xvfb-run)
if(IMBRIX_BUILD_GUI AND TARGET imbrix_app_ui AND IMBRIX_XVFB_RUN)
  pkg_check_modules(XCB REQUIRED IMPORTED_TARGET xcb)
  add_executable(imbrix_app_ui_x11_tests ${CMAKE_CURRENT_LIST_DIR}/x11/window_titles_test.cpp)
  set_target_properties(imbrix_app_ui_x11_tests PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
  target_link_libraries(imbrix_app_ui_x11_tests PRIVATE imbrix_testsupport GTest::gtest_main
                        imbrix_qttestsupport imbrix_app_ui PkgConfig::XCB)
  imbrix_set_warnings(imbrix_app_ui_x11_tests)
  add_dependencies(imbrix_app_ui_x11_tests imbrix_app)
  add_test(NAME AppWindowTitles.OnX11
           COMMAND ${IMBRIX_XVFB_RUN} -a $<TARGET_FILE:imbrix_app_ui_x11_tests>)
  set_tests_properties(AppWindowTitles.OnX11 PROPERTIES ENVIRONMENT QT_QPA_PLATFORM=xcb
                       LABELS app_ui TIMEOUT 120)
elseif(IMBRIX_BUILD_GUI)
  message(STATUS "xvfb-run not found: the window title test is not built")
endif()
