# Shared part of the Zig cross toolchains: the compiler wrappers and the
# dependencies that scripts/setup_cross.sh left in its cache.
# The folder is found as scripts/cache_root.sh finds it.
if(DEFINED ENV{QZ_CROSS_CACHE})
  set(QZ_CROSS_CACHE "$ENV{QZ_CROSS_CACHE}")
elseif(DEFINED ENV{QZ_CACHE_DIR})
  set(QZ_CROSS_CACHE "$ENV{QZ_CACHE_DIR}/cross")
elseif(DEFINED ENV{XDG_CACHE_HOME})
  set(QZ_CROSS_CACHE "$ENV{XDG_CACHE_HOME}/qz_norvo/cross")
else()
  set(QZ_CROSS_CACHE "$ENV{HOME}/.cache/qz_norvo/cross")
endif()

# Only the library is built: no test or tool could run here.
set(QZ_LIBRARY_ONLY ON)
set(CMAKE_C_COMPILER "${QZ_CROSS_CACHE}/bin/zig-cc")
set(CMAKE_CXX_COMPILER "${QZ_CROSS_CACHE}/bin/zig-c++")
set(CMAKE_AR "${QZ_CROSS_CACHE}/bin/zig-ar" CACHE FILEPATH "")
set(CMAKE_RANLIB "${QZ_CROSS_CACHE}/bin/zig-ranlib" CACHE FILEPATH "")
set(CMAKE_C_FLAGS_INIT "-target ${QZ_ZIG_TARGET}")
set(CMAKE_CXX_FLAGS_INIT "-target ${QZ_ZIG_TARGET}")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-target ${QZ_ZIG_TARGET}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-target ${QZ_ZIG_TARGET}")

# The newest dependency build for this target (the folder name carries the
# versions).
file(GLOB QZ_DEPS_DONE "${QZ_CROSS_CACHE}/deps/${QZ_ZIG_TARGET}/*/.done")
list(SORT QZ_DEPS_DONE)
list(POP_BACK QZ_DEPS_DONE QZ_DEPS_DONE_LAST)
if(NOT QZ_DEPS_DONE_LAST)
  message(FATAL_ERROR "No dependencies for ${QZ_ZIG_TARGET}: run scripts/setup_cross.sh")
endif()
get_filename_component(QZ_DEPS_PREFIX "${QZ_DEPS_DONE_LAST}" DIRECTORY)

set(CMAKE_FIND_ROOT_PATH "${QZ_DEPS_PREFIX}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
