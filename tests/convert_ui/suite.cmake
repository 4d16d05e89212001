# The conversion run's window side (message boxes, the run from a window, the
# result window), driven offscreen.
if(IMBRIX_BUILD_GUI AND TARGET imbrix_convert_ui)
  imbrix_add_test_suite(convert_ui LIBS imbrix_qttestsupport imbrix_convert_ui Qt6::Test)
endif()
