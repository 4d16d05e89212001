imbrix_add_test_suite(online LIBS imbrix_online)
# The tests run their own HTTP and HTTPS servers on the loopback address.
if(TARGET imbrix_online_tests)
  pkg_check_modules(HTTPLIB REQUIRED IMPORTED_TARGET cpp-httplib)
  target_link_libraries(imbrix_online_tests PRIVATE PkgConfig::HTTPLIB PkgConfig::OPENSSL)
endif()
