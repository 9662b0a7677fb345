#!/usr/bin/env bash
# Builds the library and its examples, writes a small test model (random
# weights, not a trained model) and translates a sample text with it.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake -S . -B build/release -G Ninja >/dev/null
cmake --build build/release -j "$(nproc)" \
  --target qz_list_devices qz_translate qz_make_test_model
build/release/examples/qz_list_devices
model=build/release/test-model.qz
build/release/examples/qz_make_test_model "$model"
text="a b c d"
echo "translating \"$text\" with $model (a test model: the output is not a real translation)"
build/release/examples/qz_translate "$model" best "$text"
