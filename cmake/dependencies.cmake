# Every dependency comes from a Debian package (scripts/setup.sh installs them).
find_package(PkgConfig REQUIRED)
pkg_check_modules(QZ_ICU REQUIRED IMPORTED_TARGET icu-uc icu-i18n)
pkg_check_modules(QZ_UTF8PROC REQUIRED IMPORTED_TARGET libutf8proc)
find_package(Threads REQUIRED)

add_library(qz_deps INTERFACE)
target_link_libraries(qz_deps INTERFACE PkgConfig::QZ_ICU PkgConfig::QZ_UTF8PROC
                      Threads::Threads m)
