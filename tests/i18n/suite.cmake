imbrix_add_test_suite(i18n LIBS imbrix_i18n PkgConfig::ICU)
