# The online windows, driven offscreen: the feedback window, the new-version notice
# and the main window's side of the update check, against a service of the tests'
# own on 127.0.0.1 (tests/online/loopback_server.*).
if(IMBRIX_BUILD_GUI AND TARGET imbrix_online_ui)
  if(NOT TARGET PkgConfig::HTTPLIB)
    pkg_check_modules(HTTPLIB REQUIRED IMPORTED_TARGET cpp-httplib)
  endif()

  imbrix_add_test_suite(online_ui LIBS imbrix_online_ui Qt6::Test)
  if(TARGET imbrix_online_ui_tests)
    target_sources(imbrix_online_ui_tests PRIVATE ${CMAKE_CURRENT_LIST_DIR}/../online/loopback_server.cpp)
    target_include_directories(imbrix_online_ui_tests PRIVATE ${CMAKE_CURRENT_LIST_DIR}/../online)
    target_link_libraries(imbrix_online_ui_tests PRIVATE PkgConfig::HTTPLIB PkgConfig::OPENSSL)
  endif()

  # The translated window in a program of its own: the process-wide language can
  # be chosen only once.
  file(GLOB german_sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/german/*.cpp)
  add_executable(imbrix_online_ui_german_tests ${german_sources})
  set_target_properties(imbrix_online_ui_german_tests PROPERTIES
                        RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
  target_include_directories(imbrix_online_ui_german_tests PRIVATE ${CMAKE_CURRENT_LIST_DIR})
  target_link_libraries(imbrix_online_ui_german_tests PRIVATE
                        imbrix_testsupport GTest::gtest_main imbrix_online_ui Qt6::Test)
  imbrix_set_warnings(imbrix_online_ui_german_tests)
  gtest_discover_tests(imbrix_online_ui_german_tests DISCOVERY_TIMEOUT 60
                       PROPERTIES LABELS online_ui)
endif()
