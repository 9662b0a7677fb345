// The harness's device maths: correctly rounded results (through double
// precision) moved by the CUDA maths library's documented error bounds.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

#include "gpu_harness/cuda_emu.h"
#include "gpu_harness/device_maths.h"

namespace {

using qz_gpu_harness::kDeviceMaths;

uint32_t bits_of(float v) {
  uint32_t b;
  std::memcpy(&b, &v, sizeof b);
  return b;
}

// The exact value rounded to float, then `ulps` steps up or down (a hash of
// the function and its arguments picks which), staying on its side of zero,
// finite, and within [-limit, limit].
float device_result(double exact, int function, float a, float b, int ulps,
                    float limit = std::numeric_limits<float>::max()) {
  float r = static_cast<float>(exact);
  if (!std::isfinite(r) || r == 0.0f) return r;
  uint64_t state = (uint64_t{bits_of(a)} << 32 | bits_of(b)) ^ (uint64_t(function) << 56);
  const bool up = qz_gpu_harness::shuffle_next(state) & 1;
  const float toward = up ? std::numeric_limits<float>::infinity()
                          : -std::numeric_limits<float>::infinity();
  for (int i = 0; i < ulps; ++i) {
    const float next = std::nextafter(r, toward);
    if (!std::isfinite(next) || next == 0.0f || std::signbit(next) != std::signbit(r) ||
        std::fabs(next) > limit)
      break;
    r = next;
  }
  return r;
}

}  // namespace

namespace qz_cuda_emu {

float expf(float x) {
  if (x == 0.0f) return 1.0f;
  return device_result(std::exp(double{x}), 1, x, 0, kDeviceMaths.expf);
}

float exp2f(float x) {
  if (x == 0.0f) return 1.0f;
  return device_result(std::exp2(double{x}), 2, x, 0, kDeviceMaths.exp2f);
}

float logf(float x) {
  return device_result(std::log(double{x}), 3, x, 0, kDeviceMaths.logf);
}

float powf(float x, float y) {
  if (y == 0.0f || x == 1.0f) return 1.0f;
  return device_result(std::pow(double{x}, double{y}), 4, x, y, kDeviceMaths.powf);
}

float sinf(float x) {
  return device_result(std::sin(double{x}), 5, x, 0, kDeviceMaths.sinf, 1.0f);
}

float cosf(float x) {
  if (x == 0.0f) return 1.0f;
  return device_result(std::cos(double{x}), 6, x, 0, kDeviceMaths.cosf, 1.0f);
}

void sincosf(float x, float *sine, float *cosine) {
  *sine = device_result(std::sin(double{x}), 7, x, 0, kDeviceMaths.sincosf, 1.0f);
  *cosine = x == 0.0f ? 1.0f
                      : device_result(std::cos(double{x}), 8, x, 0, kDeviceMaths.sincosf, 1.0f);
}

float tanhf(float x) {
  return device_result(std::tanh(double{x}), 9, x, 0, kDeviceMaths.tanhf, 1.0f);
}

float erff(float x) {
  return device_result(std::erf(double{x}), 10, x, 0, kDeviceMaths.erff, 1.0f);
}

float rsqrtf(float x) {
  return device_result(1.0 / std::sqrt(double{x}), 11, x, 0, kDeviceMaths.rsqrtf);
}

float __log2f(float x) {
  const double exact = std::log2(double{x});
  if (x >= 0.5f && x <= 2.0f) {
    // An absolute error inside [0.5, 2].
    uint64_t state = bits_of(x) ^ (uint64_t{12} << 56);
    const double shift = kDeviceMaths.log2f_intrinsic_absolute - 0x1p-25;  // room to round
    return static_cast<float>(exact + (qz_gpu_harness::shuffle_next(state) & 1 ? shift : -shift));
  }
  return device_result(exact, 12, x, 0, kDeviceMaths.log2f_intrinsic);
}

}  // namespace qz_cuda_emu
