#!/usr/bin/env bash
# Runs an aarch64 program under qemu-user; QZ_QEMU_CPU picks the emulated
# processor (default "max"). The loader and C library are the multiarch
# arm64 ones that the lane installs under /lib/aarch64-linux-gnu, which the
# programs' libraries (ICU, utf8proc) were built against. (Pointing -L at the
# cross toolchain's sysroot would mix its C library with those and hang the
# first thread creation.)
exec qemu-aarch64 -cpu "${QZ_QEMU_CPU:-max}" "$@"
