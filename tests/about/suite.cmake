# The About window's rules without a window: rain, slide, drop-down rule, links.
if(TARGET imbrix_about)
  imbrix_add_test_suite(about LIBS imbrix_about)
endif()
