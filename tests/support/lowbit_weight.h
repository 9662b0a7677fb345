// Synthetic low-bit weights for tests, made by a packer written
// independently of the library's decoder: tiles are appended in storage
// order (width classes ascending, row blocks, then groups) and every code is
// laid bit by bit into the canonical stream.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <vector>

struct lowbit_weight {
  int32_t row_blocks = 0;
  std::array<int32_t, 8> counts{};  // groups of width 1 .. 8
  std::vector<int32_t> perm;        // stored column → input element
  std::vector<uint16_t> scales;     // offset, scale per tile, storage order
  std::vector<uint8_t> tiles;       // canonical tiles, storage order
  // code[m][j] for output row m and stored column j.
  std::vector<uint8_t> codes;

  int32_t groups() const;
  int32_t rows() const { return 16 * row_blocks; }
  int32_t columns() const { return 8 * groups(); }
  int32_t width_of_group(int32_t stored_group) const;
  // The dense matrix in input order, [rows][columns], in double precision.
  std::vector<double> dense() const;
  // |code · scale| + |offset| per element, laid out like dense(): the size of
  // the terms a float computation of W·x rounds.
  std::vector<double> magnitudes() const;
};

// A weight shape of a test table: row blocks and groups per width class.
struct lowbit_weight_case {
  const char *name;
  int32_t row_blocks;
  std::array<int32_t, 8> counts;
};

// The value of a 16-bit scale pattern: (−1)^s · m · 2^(e − 35).
double lowbit_scale_value(uint16_t pattern);

// The canonical bytes (16·width) of 128 codes given row-major.
std::vector<uint8_t> lowbit_pack_tile(std::span<const uint8_t> codes, int32_t width);

// A weight with random codes, offsets and scales (both signs, exponents
// picked to keep values near 1) and the given column order; an empty perm
// means the identity.
lowbit_weight make_lowbit_weight(int32_t row_blocks, std::array<int32_t, 8> counts,
                                 std::vector<int32_t> perm, uint32_t seed);

// W·x for the n token rows of x ([n][columns], input order) in double
// precision, and in *bound how far a float computation of each value (the
// GPU kernels', whose float atomics add in no fixed order, or the host's)
// may lie from it: gamma(8G + 16) · Σ_j (|code·scale| + |offset|)·|x_j|.
std::vector<double> lowbit_reference(const lowbit_weight &w, const std::vector<float> &x,
                                     int32_t n, std::vector<double> *bound);
