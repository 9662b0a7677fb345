// Plain double-precision attention, written from the definition, and small
// helpers the attention tests share.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

struct attn_dims {
  int B, Q, K, H, G, D;
};

inline std::string describe(const attn_dims &d) {
  return "B" + std::to_string(d.B) + " Q" + std::to_string(d.Q) + " K" + std::to_string(d.K) +
         " H" + std::to_string(d.H) + " G" + std::to_string(d.G) + " D" + std::to_string(d.D);
}

// Element (batch entry, row, head, dim) of a query, key or value tensor.
using tensor_fn = std::function<double(int b, int i, int head, int d)>;
// Added to score (b, h, q, t) before the softmax: 0, a bias or -infinity.
using score_term_fn = std::function<double(int b, int h, int q, int t)>;

constexpr double kMinusInf = -std::numeric_limits<double>::infinity();

// softmax(Q.K^T / sqrt(D) + term).V, output laid out B x Q x H x D.
inline std::vector<double> reference_attention(const attn_dims &dm, const tensor_fn &query,
                                               const tensor_fn &key, const tensor_fn &value,
                                               const score_term_fn &term = nullptr) {
  std::vector<double> out(size_t(dm.B) * dm.Q * dm.H * dm.D, 0.0);
  std::vector<double> s(dm.K);
  for (int b = 0; b < dm.B; ++b)
    for (int h = 0; h < dm.H; ++h) {
      const int g = h / (dm.H / dm.G);
      for (int q = 0; q < dm.Q; ++q) {
        double mx = kMinusInf;
        for (int t = 0; t < dm.K; ++t) {
          double dot = 0;
          for (int d = 0; d < dm.D; ++d) dot += query(b, q, h, d) * key(b, t, g, d);
          s[t] = dot / std::sqrt(double(dm.D)) + (term ? term(b, h, q, t) : 0.0);
          mx = std::max(mx, s[t]);
        }
        double total = 0;
        for (int t = 0; t < dm.K; ++t) total += s[t] = std::exp(s[t] - mx);
        for (int d = 0; d < dm.D; ++d) {
          double acc = 0;
          for (int t = 0; t < dm.K; ++t) acc += s[t] / total * value(b, t, g, d);
          out[((size_t(b) * dm.Q + q) * dm.H + h) * dm.D + d] = acc;
        }
      }
    }
  return out;
}

// Dense B x rows x heads x D float tensor as a tensor_fn.
inline tensor_fn dense(const std::vector<float> &data, int rows, int heads, int dim) {
  return [&data, rows, heads, dim](int b, int i, int head, int d) {
    return double(data[((size_t(b) * rows + i) * heads + head) * dim + d]);
  };
}

inline std::vector<float> random_floats(size_t n, uint32_t seed, float lo = -1.f, float hi = 1.f) {
  std::mt19937 gen(seed);
  std::uniform_real_distribution<float> dist(lo, hi);
  std::vector<float> v(n);
  for (float &x : v) x = dist(gen);
  return v;
}

inline std::vector<uint8_t> random_bytes(size_t n, uint32_t seed) {
  std::mt19937 gen(seed);
  std::vector<uint8_t> v(n);
  for (uint8_t &x : v) x = uint8_t(gen());
  return v;
}

// A uint8 linear cache of M positions per entry; the pairs of positions K..M-1
// are NaN, so reading past K shows in every result.
struct linear_cache {
  std::vector<uint8_t> codes;
  std::vector<float> metas;
  int M;
  tensor_fn dequantized(const attn_dims &d) const {
    return [this, d](int b, int t, int g, int e) {
      const size_t pos = size_t(b) * M + t;
      return double(codes[(pos * d.G + g) * d.D + e]) * metas[2 * pos] + metas[2 * pos + 1];
    };
  }
};

inline linear_cache make_cache(const attn_dims &d, uint32_t seed) {
  linear_cache c;
  c.M = d.K + 3;
  c.codes = random_bytes(size_t(d.B) * c.M * d.G * d.D, seed);
  c.metas = random_floats(2 * size_t(d.B) * c.M, seed + 1, 0.001f, 0.02f);
  for (int b = 0; b < d.B; ++b)
    for (int t = 0; t < c.M; ++t) {
      float *pair = &c.metas[2 * (size_t(b) * c.M + t)];
      if (t >= d.K) pair[0] = pair[1] = std::numeric_limits<float>::quiet_NaN();
      else pair[1] -= 1.3f;  // intercepts around the row minimum
    }
  return c;
}

// Every element within tol x (1 + |expected|).
inline void expect_close(const std::vector<float> &got, const std::vector<double> &want,
                         double tol, const std::string &what) {
  ASSERT_EQ(got.size(), want.size()) << what;
  int reported = 0;
  for (size_t i = 0; i < got.size(); ++i) {
    if (std::abs(double(got[i]) - want[i]) <= tol * (1 + std::abs(want[i]))) continue;
    ADD_FAILURE() << what << ": element " << i << " is " << got[i] << ", expected " << want[i];
    if (++reported == 5) return;
  }
}

inline uint32_t bits(float f) {
  uint32_t u;
  std::memcpy(&u, &f, 4);
  return u;
}
