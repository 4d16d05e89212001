imbrix_add_test_suite(magick LIBS PkgConfig::RSVG PkgConfig::ZLIB)
if(TARGET imbrix_magick_tests)
  # The tests run the built converter front.
  add_dependencies(imbrix_magick_tests imbrix_magick)
endif()
