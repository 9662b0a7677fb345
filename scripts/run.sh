#!/usr/bin/env bash
# Builds the library and its examples, lists the devices an engine can use
# and translates English sample sentences into German with the committed
# demo model (models/en-de.qz).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake -S . -B build/release -G Ninja >/dev/null
cmake --build build/release -j "$(nproc)" --target qz_list_devices qz_translate
build/release/examples/qz_list_devices
model=models/en-de.qz
for text in "Save the current document" "Display line numbers" \
            "Operation was cancelled"; do
  echo "translating \"$text\" with $model:"
  build/release/examples/qz_translate "$model" cpu "$text"
done
