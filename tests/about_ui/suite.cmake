# The About window, driven offscreen with Qt Test.
if(IMBRIX_BUILD_GUI AND TARGET imbrix_about_ui)
  add_executable(imbrix_about_ui_tests ${CMAKE_CURRENT_LIST_DIR}/aboutbox_test.cpp)
  set_target_properties(imbrix_about_ui_tests PROPERTIES AUTOMOC ON
                        RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
  target_compile_definitions(imbrix_about_ui_tests PRIVATE IMBRIX_BIN_DIR="${IMBRIX_BIN_DIR}")
  target_link_libraries(imbrix_about_ui_tests PRIVATE imbrix_about_ui imbrix_i18n Qt6::Test)
  imbrix_set_warnings(imbrix_about_ui_tests)
  add_test(NAME about_ui.TAboutBox COMMAND imbrix_about_ui_tests)
  set_tests_properties(about_ui.TAboutBox PROPERTIES
                       LABELS about_ui ENVIRONMENT QT_QPA_PLATFORM=offscreen)
endif()
