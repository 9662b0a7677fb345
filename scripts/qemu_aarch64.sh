#!/usr/bin/env bash
# Runs an aarch64 program under qemu-user with the cross toolchain's
# libraries; QZ_QEMU_CPU picks the emulated processor (default "max").
exec qemu-aarch64 -cpu "${QZ_QEMU_CPU:-max}" -L /usr/aarch64-linux-gnu "$@"
