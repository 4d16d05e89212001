imbrix_add_test_suite(app LIBS imbrix_versioninfo)
# The test program carries a version block of its own, so the reader is tested on a
# freshly built executable even when the desktop program is not built.
if(TARGET imbrix_app_tests)
  imbrix_embed_version_info(imbrix_app_tests ORIGINAL_FILENAME imbrix_app_tests)
  if(TARGET imbrix_app)
    add_dependencies(imbrix_app_tests imbrix_app)
  endif()
endif()
