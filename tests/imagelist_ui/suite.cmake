# The image list's window side (the list view's model, the roads into the list,
# the desktop's file actions), driven offscreen.
if(IMBRIX_BUILD_GUI AND TARGET imbrix_imagelist_ui)
  imbrix_add_test_suite(imagelist_ui LIBS imbrix_qttestsupport imbrix_imagelist_ui Qt6::Test Qt6::DBus)
  set_target_properties(imbrix_imagelist_ui_tests PROPERTIES AUTOMOC ON)
endif()
