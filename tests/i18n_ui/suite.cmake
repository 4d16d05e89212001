# The translated message dialog, tested offscreen with Qt Test.
if(IMBRIX_BUILD_GUI AND TARGET imbrix_i18n_ui)
  add_executable(imbrix_i18n_ui_tests ${CMAKE_CURRENT_LIST_DIR}/messagedlg_test.cpp)
  set_target_properties(imbrix_i18n_ui_tests PROPERTIES AUTOMOC ON
                        RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
  target_compile_definitions(imbrix_i18n_ui_tests PRIVATE IMBRIX_BIN_DIR="${IMBRIX_BIN_DIR}")
  target_link_libraries(imbrix_i18n_ui_tests PRIVATE imbrix_i18n_ui Qt6::Test)
  imbrix_set_warnings(imbrix_i18n_ui_tests)
  add_test(NAME i18n_ui.MessageDlgWithCaptions COMMAND imbrix_i18n_ui_tests)
  set_tests_properties(i18n_ui.MessageDlgWithCaptions PROPERTIES
                       LABELS i18n_ui ENVIRONMENT QT_QPA_PLATFORM=offscreen)
endif()
