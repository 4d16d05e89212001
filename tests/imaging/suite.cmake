imbrix_add_test_suite(imaging LIBS imbrix_imaging PkgConfig::WEBP)
