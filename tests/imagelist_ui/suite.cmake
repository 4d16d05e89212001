# The image list's window side (the list view's model and the roads into the
# list), driven offscreen.
if(IMBRIX_BUILD_GUI AND TARGET imbrix_imagelist_ui)
  imbrix_add_test_suite(imagelist_ui LIBS imbrix_imagelist_ui Qt6::Test)
endif()
