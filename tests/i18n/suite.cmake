imbrix_add_test_suite(i18n LIBS imbrix_i18n PkgConfig::ICU)
if(TARGET imbrix_i18n_tests)
  # The layout test installs the languages folder into a scratch prefix with the
  # same CMake that configured the build.
  target_compile_definitions(imbrix_i18n_tests PRIVATE IMBRIX_CMAKE_COMMAND="${CMAKE_COMMAND}")
endif()
