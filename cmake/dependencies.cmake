# Native builds take every dependency from a Debian package (scripts/setup.sh
# installs them). The cross builds link the static libraries that
# scripts/setup_cross.sh built from the Debian sources (QZ_DEPS_PREFIX, set by
# the toolchain file), so the library needs nothing shipped beside it.
if(QZ_DEPS_PREFIX)
  add_library(qz_deps INTERFACE)
  target_include_directories(qz_deps SYSTEM INTERFACE ${QZ_DEPS_PREFIX}/include)
  target_compile_definitions(qz_deps INTERFACE U_STATIC_IMPLEMENTATION UTF8PROC_STATIC)
  foreach(name icui18n icuuc icudata utf8proc pthreadpool)
    target_link_libraries(qz_deps INTERFACE ${QZ_DEPS_PREFIX}/lib/lib${name}.a)
  endforeach()
  if(WIN32)
    # POSIX threads for the error stack and the pool, linked in statically.
    target_link_libraries(qz_deps INTERFACE -Wl,-Bstatic -lwinpthread -Wl,-Bdynamic)
  endif()
  return()
endif()

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
