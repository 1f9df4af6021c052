# Every dependency is a Debian package installed by scripts/setup.
find_package(PkgConfig REQUIRED)
find_package(OpenSSL 3.0 REQUIRED)
find_package(Threads REQUIRED)
find_package(nlohmann_json 3.11 REQUIRED)
find_package(fmt 9 REQUIRED)
pkg_check_modules(ICU REQUIRED IMPORTED_TARGET icu-uc)
# Sorting application names: ICU's collator.
pkg_check_modules(ICU_I18N REQUIRED IMPORTED_TARGET icu-i18n)
# Application icons are sent as PNG.
pkg_check_modules(PNG REQUIRED IMPORTED_TARGET libpng)
pkg_check_modules(LIBSECRET REQUIRED IMPORTED_TARGET libsecret-1)
pkg_check_modules(AVAHI REQUIRED IMPORTED_TARGET avahi-client)
pkg_check_modules(SYSTEMD REQUIRED IMPORTED_TARGET libsystemd)
pkg_check_modules(QRENCODE REQUIRED IMPORTED_TARGET libqrencode)
pkg_check_modules(TURBOJPEG REQUIRED IMPORTED_TARGET libturbojpeg)
# Clipboard images: TIFF and BMP decoding, PNG and JPEG encoding.
pkg_check_modules(GDK_PIXBUF REQUIRED IMPORTED_TARGET gdk-pixbuf-2.0)
# libyuv ships no pkg-config file.
find_path(LIBYUV_INCLUDE_DIR libyuv/scale_argb.h REQUIRED)
find_library(LIBYUV_LIBRARY yuv REQUIRED)
add_library(libyuv::libyuv UNKNOWN IMPORTED)
set_target_properties(libyuv::libyuv PROPERTIES IMPORTED_LOCATION ${LIBYUV_LIBRARY}
  INTERFACE_INCLUDE_DIRECTORIES ${LIBYUV_INCLUDE_DIR})
find_package(Threads REQUIRED)

if(TILLERPAD_TESTS)
  find_package(GTest REQUIRED)
endif()
if(TILLERPAD_BENCH)
  find_package(benchmark REQUIRED)
endif()
