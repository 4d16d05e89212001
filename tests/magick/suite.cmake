# The engine (imbrix_convert) for the tests that run the program's own route
# through the front; the front's own library for the tests of its parts.
imbrix_add_test_suite(magick LIBS imbrix_convert imbrix_imaging imbrix_platform imbrix_magickcore
                      PkgConfig::RSVG PkgConfig::ZLIB)
if(TARGET imbrix_magick_tests)
  # The tests run the built converter front.
  add_dependencies(imbrix_magick_tests imbrix_magick)
endif()
