#include "support/lowbit_weight.h"

#include "gpu_harness/twin.h"

#include <cmath>
#include <numeric>
#include <random>

int32_t lowbit_weight::groups() const {
  return std::accumulate(counts.begin(), counts.end(), 0);
}

int32_t lowbit_weight::width_of_group(int32_t stored_group) const {
  for (int32_t b = 1; b <= 8; ++b) {
    if (stored_group < counts[b - 1]) return b;
    stored_group -= counts[b - 1];
  }
  return 0;
}

double lowbit_scale_value(uint16_t pattern) {
  const int sign = pattern >> 15, exponent = (pattern >> 10) & 31, mantissa = pattern & 1023;
  return (sign ? -1.0 : 1.0) * std::ldexp(double(mantissa), exponent - 35);
}

std::vector<uint8_t> lowbit_pack_tile(std::span<const uint8_t> codes, int32_t width) {
  std::vector<uint8_t> bytes(16 * width, 0);
  for (int32_t i = 0; i < 128; ++i)
    for (int32_t bit = 0; bit < width; ++bit)
      if ((codes[i] >> bit) & 1) {
        const int32_t s = width * i + bit;
        bytes[s / 8] |= uint8_t(1u << (s % 8));
      }
  return bytes;
}

lowbit_weight make_lowbit_weight(int32_t row_blocks, std::array<int32_t, 8> counts,
                                 std::vector<int32_t> perm, uint32_t seed) {
  lowbit_weight w;
  w.row_blocks = row_blocks;
  w.counts = counts;
  const int32_t cols = w.columns(), rows = w.rows();
  if (perm.empty()) {
    perm.resize(cols);
    std::iota(perm.begin(), perm.end(), 0);
  }
  w.perm = std::move(perm);
  w.codes.assign(size_t(rows) * cols, 0);

  std::mt19937 rng(seed);
  // Mantissas up to 1023 with exponents 23..27 keep |values| below about 8.
  auto pattern = [&rng]() {
    const uint32_t sign = rng() & 1, exponent = 23 + rng() % 5, mantissa = rng() % 1024;
    return uint16_t(sign << 15 | exponent << 10 | mantissa);
  };
  int32_t first_group = 0;
  for (int32_t b = 1; b <= 8; ++b) {
    for (int32_t rb = 0; rb < row_blocks; ++rb)
      for (int32_t g = 0; g < counts[b - 1]; ++g) {
        const int32_t j = first_group + g;
        std::array<uint8_t, 128> tile{};
        for (int32_t i = 0; i < 128; ++i) {
          tile[i] = uint8_t(rng() % (1u << b));
          w.codes[size_t(16 * rb + i / 8) * cols + 8 * j + i % 8] = tile[i];
        }
        const std::vector<uint8_t> bytes = lowbit_pack_tile(tile, b);
        w.tiles.insert(w.tiles.end(), bytes.begin(), bytes.end());
        w.scales.push_back(pattern());  // offset
        w.scales.push_back(pattern());  // scale
      }
    first_group += counts[b - 1];
  }
  return w;
}

namespace {

// Calls f(row, input column, code × scale, offset) for every element.
template <class F>
void for_each_element(const lowbit_weight &w, F f) {
  const int32_t cols = w.columns();
  // Walk the scale array in the order the tiles were appended.
  size_t tile = 0;
  int32_t first_group = 0;
  for (int32_t b = 1; b <= 8; ++b) {
    for (int32_t rb = 0; rb < w.row_blocks; ++rb)
      for (int32_t g = 0; g < w.counts[b - 1]; ++g, ++tile) {
        const double offset = lowbit_scale_value(w.scales[2 * tile]);
        const double scale = lowbit_scale_value(w.scales[2 * tile + 1]);
        const int32_t j = first_group + g;
        for (int32_t r = 0; r < 16; ++r)
          for (int32_t k = 0; k < 8; ++k) {
            const size_t m = size_t(16 * rb + r);
            f(m, w.perm[8 * j + k], w.codes[m * cols + 8 * j + k] * scale, offset);
          }
      }
    first_group += w.counts[b - 1];
  }
}

}  // namespace

std::vector<double> lowbit_weight::dense() const {
  const int32_t cols = columns();
  std::vector<double> out(size_t(rows()) * cols, 0.0);
  for_each_element(*this, [&](size_t m, int32_t k, double coded, double offset) {
    out[m * cols + k] = coded + offset;
  });
  return out;
}

std::vector<double> lowbit_weight::magnitudes() const {
  const int32_t cols = columns();
  std::vector<double> out(size_t(rows()) * cols, 0.0);
  for_each_element(*this, [&](size_t m, int32_t k, double coded, double offset) {
    out[m * cols + k] = std::fabs(coded) + std::fabs(offset);
  });
  return out;
}

std::vector<double> lowbit_reference(const lowbit_weight &w, const std::vector<float> &x,
                                     int32_t n, std::vector<double> *bound) {
  const std::vector<double> dense = w.dense(), magnitude = w.magnitudes();
  const int32_t rows = w.rows(), cols = w.columns();
  // Each product's path through the GPU kernels, for G >= 1 groups in all:
  // CUDA's, the weight's fused step, the in-group chain of 8, the sum and
  // scale steps of the one-token form, at most 4 group results per thread
  // and one atomic addition per thread's slice or class (at most G + 8);
  // Metal's one-token kernels, the product, the chain of 8, the scale and
  // offset steps, 4 group results per thread and one atomic addition per
  // thread's 4 groups of each class (at most G + 8); its many-token kernels,
  // the fused weight, the product, the chain of 8, G group results and one
  // atomic addition per class. At most 8G + 16 roundings in every case.
  const double gamma = float_gamma(8 * int64_t{w.groups()} + 16);
  std::vector<double> ref(size_t(n) * rows);
  bound->assign(size_t(n) * rows, 0.0);
  for (int32_t j = 0; j < n; ++j)
    for (int32_t m = 0; m < rows; ++m) {
      double sum = 0, abs = 0;
      for (int32_t i = 0; i < cols; ++i) {
        sum += dense[size_t(m) * cols + i] * x[size_t(j) * cols + i];
        abs += magnitude[size_t(m) * cols + i] * std::fabs(x[size_t(j) * cols + i]);
      }
      ref[size_t(j) * rows + m] = sum;
      (*bound)[size_t(j) * rows + m] = gamma * abs + 1e-30;
    }
  return ref;
}
