#!/usr/bin/env bash
# Builds the library, its examples and the batch driver (optimised), lists
# the devices an engine can use and translates English sample sentences into
# German with the committed demo model (models/en-de.qz).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
# Objects compiled in another clone are reused (paths hashed relative to it).
export CCACHE_BASEDIR=$PWD CCACHE_NOHASHDIR=1
cmake -S . -B build/release -G Ninja >/dev/null
cmake --build build/release -j "${QZ_JOBS:-$(nproc)}" --target qz_list_devices qz_translate \
  qz_translate_batch
build/release/examples/qz_list_devices
model=models/en-de.qz
for text in "Save the current document" "Display line numbers" \
            "Operation was cancelled"; do
  echo "translating \"$text\" with $model:"
  build/release/examples/qz_translate "$model" cpu "$text"
done
