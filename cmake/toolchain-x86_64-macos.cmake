# macOS on x86-64 with Zig's clang and its macOS libc headers:
#   scripts/setup_cross.sh x86_64-macos
#   cmake -S . -B build/macos-x86_64 -G Ninja \
#     -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-x86_64-macos.cmake
set(CMAKE_SYSTEM_NAME Darwin)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(QZ_ZIG_TARGET x86_64-macos)
include("${CMAKE_CURRENT_LIST_DIR}/toolchain-zig.cmake")
