# The main window, driven offscreen: start-up, pages, the format selector, the
# options and their settings file, the menu commands.
if(IMBRIX_BUILD_GUI AND TARGET imbrix_app_ui)
  imbrix_add_test_suite(app_ui LIBS imbrix_app_ui imbrix_settings Qt6::Test)
  if(TARGET imbrix_app_ui_tests AND TARGET imbrix_app)
    # Start-up reads the version block of the built program.
    add_dependencies(imbrix_app_ui_tests imbrix_app)
  endif()
endif()
