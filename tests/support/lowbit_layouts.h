// Readers of re-laid low-bit tiles, written from the layout tables
// independently of the library's transforms and kernels.
#pragma once

#include <array>
#include <cstdint>
#include <initializer_list>
#include <vector>

using lowbit_codes = std::array<uint8_t, 128>;  // row-major, code 8r + k

// `bytes` bytes at `at`, little-endian.
uint64_t lowbit_le(const std::vector<uint8_t> &tile, int at, int bytes);

// Canonical form: row r is the `width` bytes at width·r, column k at bits
// width·k … width·k + width − 1.
lowbit_codes lowbit_read_canonical(const std::vector<uint8_t> &tile, int width);

// Split-row layout (canonical at 1 and 2 bits): per width one to three
// arrays of 16 row units, column 7 rebuilt from the units' spare bits.
lowbit_codes lowbit_read_split_rows(const std::vector<uint8_t> &tile, int width);

// `unit` repeated `times` times.
std::vector<uint8_t> lowbit_repeat(std::initializer_list<uint8_t> unit, int times);
