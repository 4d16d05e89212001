imbrix_add_test_suite(cli LIBS PkgConfig::RSVG imbrix_platform)
if(TARGET imbrix_cli_tests)
  # The tests run the built imbrix-cli and its converter front.
  add_dependencies(imbrix_cli_tests imbrix_cli imbrix_magick)
endif()
