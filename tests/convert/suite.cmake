imbrix_add_test_suite(convert LIBS imbrix_convert imbrix_imaging imbrix_platform PkgConfig::OPENSSL)
if(TARGET imbrix_convert_tests AND TARGET imbrix_magick)
  add_dependencies(imbrix_convert_tests imbrix_magick)
endif()
