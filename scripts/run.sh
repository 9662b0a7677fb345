#!/usr/bin/env bash
# Builds the library and runs the main example.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake -S . -B build/release -G Ninja >/dev/null
cmake --build build/release -j "$(nproc)" --target qz_list_devices
build/release/examples/qz_list_devices
