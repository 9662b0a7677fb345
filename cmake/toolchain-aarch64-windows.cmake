# Windows on ARM64 with Zig's clang and mingw-w64 runtime:
#   scripts/setup_cross.sh aarch64-windows-gnu
#   cmake -S . -B build/windows-arm64 -G Ninja \
#     -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-aarch64-windows.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ARM64)
set(QZ_ZIG_TARGET aarch64-windows-gnu)
include("${CMAKE_CURRENT_LIST_DIR}/toolchain-zig.cmake")
