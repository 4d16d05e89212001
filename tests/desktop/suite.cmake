# The desktop entry, icon, AppStream data, manual pages and bash completion as
# installed, and the Debian package's version and licence.
imbrix_add_test_suite(desktop)
if(TARGET imbrix_desktop_tests)
  if(IMBRIX_BUILD_GUI)
    set(gui 1)
  else()
    set(gui 0)
  endif()
  # The tests install the build into a scratch prefix with the CMake that
  # configured it.
  target_compile_definitions(imbrix_desktop_tests PRIVATE
    IMBRIX_CMAKE_COMMAND="${CMAKE_COMMAND}"
    IMBRIX_PROJECT_VERSION="${PROJECT_VERSION}"
    IMBRIX_GUI=${gui})
  add_dependencies(imbrix_desktop_tests imbrix_cli imbrix_man_imbrix_cli)
  if(IMBRIX_BUILD_GUI)
    add_dependencies(imbrix_desktop_tests imbrix_app imbrix_man_imbrix_app imbrix_icons)
  endif()
endif()
