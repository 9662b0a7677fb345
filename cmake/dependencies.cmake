# Every dependency comes from a Debian package (scripts/setup.sh installs them).
find_package(PkgConfig REQUIRED)
pkg_check_modules(QZ_ICU REQUIRED IMPORTED_TARGET icu-uc icu-i18n)
pkg_check_modules(QZ_UTF8PROC REQUIRED IMPORTED_TARGET libutf8proc)
find_path(QZ_PTHREADPOOL_INCLUDE pthreadpool.h REQUIRED)
find_path(QZ_FXDIV_INCLUDE fxdiv.h REQUIRED)
find_library(QZ_PTHREADPOOL_LIB pthreadpool REQUIRED)
find_package(Threads REQUIRED)

add_library(qz_deps INTERFACE)
target_include_directories(qz_deps INTERFACE ${QZ_PTHREADPOOL_INCLUDE} ${QZ_FXDIV_INCLUDE})
target_link_libraries(qz_deps INTERFACE PkgConfig::QZ_ICU PkgConfig::QZ_UTF8PROC
                      ${QZ_PTHREADPOOL_LIB} Threads::Threads m)
