# Cross build for aarch64 Linux with Debian's cross compiler and the arm64
# (multiarch) builds of the dependencies; tests run under qemu-user.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(QZ_CROSS_TRIPLE aarch64-linux-gnu)

set(CMAKE_C_COMPILER ${QZ_CROSS_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${QZ_CROSS_TRIPLE}-g++)

# Debian's multiarch layout: arm64 libraries under /usr/lib/aarch64-linux-gnu,
# headers shared under /usr/include.
set(CMAKE_LIBRARY_ARCHITECTURE ${QZ_CROSS_TRIPLE})
set(CMAKE_FIND_ROOT_PATH /usr/${QZ_CROSS_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${QZ_CROSS_TRIPLE}/pkgconfig:/usr/share/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")




# Tests run under qemu-user; QZ_QEMU_CPU in the environment picks the
# emulated processor ("max": NEON, dot product, half precision;
# "cortex-a72": NEON only).
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../scripts/qemu_aarch64.sh)
