// The float 2-D convolution (NCHW input, OIHW weights, zero padding) in
// double precision, for tests that bound a float result by its order of
// additions.
#pragma once

#include <cmath>
#include <cstdint>
#include <vector>

struct conv2d_shape {
  int32_t batch, out_ch, in_ch, in_h, in_w, kh, kw, stride, pad;
  int32_t out_h() const { return (in_h + 2 * pad - kh) / stride + 1; }
  int32_t out_w() const { return (in_w + 2 * pad - kw) / stride + 1; }
  int32_t out_count() const { return batch * out_ch * out_h() * out_w(); }
};

// The exact result in double and the sum of the magnitudes of its terms
// (taps on the padding add nothing), appended in output order.
inline void conv2d_reference(const conv2d_shape &s, const std::vector<float> &in,
                             const std::vector<float> &w, std::vector<double> *ref,
                             std::vector<double> *magnitude) {
  for (int b = 0; b < s.batch; ++b)
    for (int oc = 0; oc < s.out_ch; ++oc)
      for (int oy = 0; oy < s.out_h(); ++oy)
        for (int ox = 0; ox < s.out_w(); ++ox) {
          double sum = 0, abs = 0;
          for (int ic = 0; ic < s.in_ch; ++ic)
            for (int ky = 0; ky < s.kh; ++ky)
              for (int kx = 0; kx < s.kw; ++kx) {
                const int iy = oy * s.stride - s.pad + ky, ix = ox * s.stride - s.pad + kx;
                if (iy < 0 || iy >= s.in_h || ix < 0 || ix >= s.in_w) continue;
                const double term = double{w[((oc * s.in_ch + ic) * s.kh + ky) * s.kw + kx]} *
                                    in[((b * s.in_ch + ic) * s.in_h + iy) * s.in_w + ix];
                sum += term;
                abs += std::fabs(term);
              }
          ref->push_back(sum);
          magnitude->push_back(abs);
        }
}
