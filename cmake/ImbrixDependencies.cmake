# Every third-party library in one place. Libraries are imported as SYSTEM so that
# their headers do not count against our warning flags.
find_package(PkgConfig REQUIRED)
find_package(Threads REQUIRED)

pkg_check_modules(JPEG REQUIRED IMPORTED_TARGET libjpeg)
pkg_check_modules(PNG REQUIRED IMPORTED_TARGET libpng)
pkg_check_modules(ZLIB REQUIRED IMPORTED_TARGET zlib)
pkg_check_modules(DEFLATE REQUIRED IMPORTED_TARGET libdeflate)
pkg_check_modules(WEBP REQUIRED IMPORTED_TARGET libwebp libwebpdemux libwebpmux)
pkg_check_modules(TIFF REQUIRED IMPORTED_TARGET libtiff-4)
pkg_check_modules(RSVG REQUIRED IMPORTED_TARGET librsvg-2.0)
pkg_check_modules(LIBXML2 REQUIRED IMPORTED_TARGET libxml-2.0)
pkg_check_modules(GDKPIXBUF REQUIRED IMPORTED_TARGET gdk-pixbuf-2.0)
pkg_check_modules(JXL REQUIRED IMPORTED_TARGET libjxl libjxl_threads)
pkg_check_modules(HEIF REQUIRED IMPORTED_TARGET libheif)
pkg_check_modules(QPDF REQUIRED IMPORTED_TARGET libqpdf)
pkg_check_modules(OPENJP2 REQUIRED IMPORTED_TARGET libopenjp2)
pkg_check_modules(IMAGEQUANT REQUIRED IMPORTED_TARGET imagequant)
pkg_check_modules(LCMS2 REQUIRED IMPORTED_TARGET lcms2)
pkg_check_modules(EXIV2 REQUIRED IMPORTED_TARGET exiv2)
# qpdf warns in its headers unless told we use no PointerHolder (4: none at all).
set_property(TARGET PkgConfig::QPDF APPEND PROPERTY INTERFACE_COMPILE_DEFINITIONS
  POINTERHOLDER_TRANSITION=4)
pkg_check_modules(CURL REQUIRED IMPORTED_TARGET libcurl)
pkg_check_modules(PCRE2 REQUIRED IMPORTED_TARGET libpcre2-8)
pkg_check_modules(OPENSSL REQUIRED IMPORTED_TARGET openssl)
pkg_check_modules(ICU REQUIRED IMPORTED_TARGET icu-uc icu-i18n)

# nlohmann/json (header-only): the JSON record of imbrix-cli, written and read back.
find_package(nlohmann_json 3 REQUIRED)

# giflib ships neither pkg-config nor CMake files.
find_path(GIF_INCLUDE_DIR gif_lib.h REQUIRED)
find_library(GIF_LIBRARY gif REQUIRED)
add_library(imbrix::gif INTERFACE IMPORTED)
set_target_properties(imbrix::gif PROPERTIES INTERFACE_INCLUDE_DIRECTORIES ${GIF_INCLUDE_DIR}
                                             INTERFACE_LINK_LIBRARIES ${GIF_LIBRARY})

# jxrlib (JPEG XR): headers in include/jxrlib, two libraries, and Windows-isms that
# need a few definitions to compile on Linux.
find_path(JXR_INCLUDE_DIR JXRGlue.h PATH_SUFFIXES jxrlib REQUIRED)
find_library(JXR_GLUE_LIBRARY jxrglue REQUIRED)
find_library(JXR_LIBRARY jpegxr REQUIRED)
add_library(imbrix::jxr INTERFACE IMPORTED)
set_target_properties(imbrix::jxr PROPERTIES
  INTERFACE_INCLUDE_DIRECTORIES ${JXR_INCLUDE_DIR}
  INTERFACE_COMPILE_DEFINITIONS "__ANSI__;DISABLE_PERF_MEASUREMENT"
  INTERFACE_LINK_LIBRARIES "${JXR_GLUE_LIBRARY};${JXR_LIBRARY}")

if(IMBRIX_BUILD_TESTS)
  find_package(GTest REQUIRED)
endif()

if(IMBRIX_BUILD_GUI)
  find_package(Qt6 REQUIRED COMPONENTS Core Gui Widgets Svg DBus Test Concurrent)
endif()
