// Key/value cache writers and movers: rows quantised into uint8 linear
// caches and uint8/uint16 ring caches, the int16 row quantiser, and the
// in-place left shift of rows.
#include "ypu/affine_code.h"
#include "ypu/cuda/block_reduce.h"

QZ_CUDA_BEGIN

#if QZ_CUDA_BUILDS(SHIFT_ROWS_LEFT)
// Within one pass the bytes written lie below the bytes read (at most
// `shift` lanes), but lanes of a warp need not run in step: a lane that ran
// ahead into the next pass would overwrite bytes another lane has yet to
// read, so the lanes meet after every pass.
QZ_CUDA_KERNEL void taabe122(unsigned char *data, int row_bytes, int shift) {
  unsigned char *row = data + static_cast<int64_t>(blockIdx.x) * row_bytes;
  const int count = row_bytes - shift;
  const unsigned mask = blockDim.x >= 32 ? 0xFFFFFFFFu : (1u << blockDim.x) - 1u;
  for (int base = 0; base < count; base += blockDim.x) {
    const int i = base + threadIdx.x;
    if (i < count) row[i] = row[i + shift];
    __syncwarp(mask);
  }
}

qz_status_t qz_ypu_cuda_shift_rows_left(void *, void *, const void *params) {
  const auto &p = *static_cast<const qz_ypu_shift_rows_left_params_t *>(params);
  const int32_t threads = p.shift_bytes < 32 ? p.shift_bytes : 32;
  qz_cuda_launch(taabe122, {static_cast<uint32_t>(p.rows)}, {static_cast<uint32_t>(threads)},
                 qz_ypu_cuda_operand<unsigned char>(p.data), p.row_bytes, p.shift_bytes);
  return qz_ypu_cuda_launch_status();
}
#endif

#if QZ_CUDA_BUILDS(QUANTIZE_ROWS_I16)
// Row i: codes (31 / max|x|) x 1024 x x, saturated and truncated; the
// factor that maps them back. The maximum starts from 0 (every |x| is at
// least that), so an empty row gets the factor 0 as a row of zeros does.
QZ_CUDA_KERNEL void taabe8(int n, short *out, float *inverse, const float *in) {
  const float *x = in + static_cast<int64_t>(blockIdx.x) * n;
  short *y = out + static_cast<int64_t>(blockIdx.x) * n;
  float amax = 0.0f;
  for (int j = threadIdx.x; j < n; j += 32) amax = fmaxf(amax, fabsf(x[j]));
  amax = qz_cuda_butterfly(amax, qz_cuda_max_f32{}, 16);
  const float t = 31.0f / amax;
  for (int j = threadIdx.x; j < n; j += 32) {
    const float v = (t * x[j]) * 1024.0f;
    y[j] = static_cast<short>(v >= 32767.0f ? 32767 : v <= -32768.0f ? -32768 : qz_cuda_truncate(v));
  }
  if (threadIdx.x == 0) inverse[blockIdx.x] = 1.0f / (t * 131072.0f);
}

qz_status_t qz_ypu_cuda_quantize_rows_i16(void *, void *, const void *params) {
  const auto &p = *static_cast<const qz_ypu_quantize_rows_i16_params_t *>(params);
  qz_cuda_launch(taabe8, {static_cast<uint32_t>(p.rows)}, {32}, p.cols,
                 qz_ypu_cuda_operand<short>(p.out, p.out_offset),
                 qz_ypu_cuda_operand<float>(p.factors, p.factors_offset),
                 qz_ypu_cuda_operand<const float>(p.in, p.in_offset));
  return qz_ypu_cuda_launch_status();
}
#endif

#if QZ_CUDA_BUILDS(QUANTIZE_ROWS_U8) || QZ_CUDA_BUILDS(QUANTIZE_ROWS_RING_U8) || \
    QZ_CUDA_BUILDS(QUANTIZE_ROWS_RING_U16)
namespace {

struct affine_min {
  __device__ float operator()(float a, float b) const { return qz_ypu_affine_min(a, b); }
};
struct affine_max {
  __device__ float operator()(float a, float b) const { return qz_ypu_affine_max(a, b); }
};

// One warp quantises the row x of k floats into `codes`; every lane returns
// {slope, lo}. Lane l starts from element l (element 0 when l >= k: any
// element of the row leaves its minimum and maximum unchanged).
template <class Code>
__device__ void qz_cuda_quantize_row(const float *x, int k, Code *codes, float levels,
                                     float *slope_out, float *lo_out) {
  const int lane = threadIdx.x;
  float lo = x[lane < k ? lane : 0], hi = lo;
  for (int i = lane + 32; i < k; i += 32) {
    lo = qz_ypu_affine_min(lo, x[i]);
    hi = qz_ypu_affine_max(hi, x[i]);
  }
  lo = qz_cuda_butterfly(lo, affine_min{}, 16);
  hi = qz_cuda_butterfly(hi, affine_max{}, 16);
  const float slope = (hi - lo) / levels;
  for (int i = lane; i < k; i += 32)
    codes[i] = static_cast<Code>(qz_ypu_affine_code(x[i], lo, slope, levels));
  *slope_out = slope;
  *lo_out = lo;
}

}  // namespace
#endif

#if QZ_CUDA_BUILDS(QUANTIZE_ROWS_U8)
QZ_CUDA_KERNEL void taabe190(unsigned char *codes, float *pairs, const float *in,
                             int max_length, int position, int m, int n, int k) {
  (void)m;
  // New rows past the grid's 65,535 in steps of it.
  for (int r = blockIdx.y; r < n; r += gridDim.y) {
    const int64_t e = static_cast<int64_t>(blockIdx.x) * max_length + position + r;
    const float *x = in + (static_cast<int64_t>(blockIdx.x) * n + r) * k;
    float slope, lo;
    qz_cuda_quantize_row(x, k, codes + e * k, 255.0f, &slope, &lo);
    if (threadIdx.x == 0) {
      pairs[2 * e] = slope;
      pairs[2 * e + 1] = lo;
    }
  }
}

qz_status_t qz_ypu_cuda_quantize_rows_u8(void *device, void *, const void *params) {
  const auto &p = *static_cast<const qz_ypu_quantize_rows_u8_params_t *>(params);
  // A row of no elements has no first element to start from.
  if (p.k < 1) return QZ_STATUS_SUCCESS;
  qz_cuda_launch(taabe190, {static_cast<uint32_t>(p.m), qz_cuda_grid_y(device, p.n)}, {32},
                 qz_ypu_cuda_operand<unsigned char>(p.xq), qz_ypu_cuda_operand<float>(p.xm),
                 qz_ypu_cuda_operand<const float>(p.xf, p.xf_offset), p.max_length, p.position,
                 p.m, p.n, p.k);
  return qz_ypu_cuda_launch_status();
}
#endif

#if QZ_CUDA_BUILDS(QUANTIZE_ROWS_RING_U8) || QZ_CUDA_BUILDS(QUANTIZE_ROWS_RING_U16)
namespace {

// Rows w = p * m + g of the input (position index p, ring g), 8 per block,
// strided over the grid; one warp per row.
template <class Code>
__device__ void qz_cuda_quantize_ring(int m, int n, int k, const float *in, Code *codes,
                                      float *min, float *scale, int W, int position,
                                      float levels) {
  for (int w = blockIdx.x * 8 + threadIdx.y; w < n * m; w += 8 * gridDim.x) {
    const int p = w / m, g = w % m;
    const int64_t e = static_cast<int64_t>(g) * W + (p + position) % W;
    float slope, lo;
    qz_cuda_quantize_row(in + static_cast<int64_t>(w) * k, k, codes + e * k, levels, &slope, &lo);
    if (threadIdx.x == 0) {
      min[e] = lo;
      scale[e] = slope;
    }
  }
}

// The ring writers' launch. A row's lanes form one whole warp (block 32 x 8),
// so its butterflies never mix in a neighbouring row. Of more new rows than
// the ring holds only the last W are written: earlier ones would share ring
// rows with them and be overwritten anyway, by threads in no fixed order.
template <class Code>
qz_status_t qz_cuda_launch_ring(void (*kernel)(int, int, int, const float *, Code *, float *,
                                               float *, int, int),
                                void *device, const void *params) {
  const auto &p = *static_cast<const qz_ypu_quantize_rows_ring_params_t *>(params);
  const bool work = p.m > 0 && p.n > 0 && p.k > 0;
  if (!work) return QZ_STATUS_SUCCESS;
  // Declined: the host refuses these.
  if (p.window < 1 || p.position < 0) return QZ_STATUS_INVALID_ARGUMENT;
  const int32_t skipped = p.n > p.window ? p.n - p.window : 0;
  const float *in = qz_ypu_cuda_operand<const float>(p.xf) + int64_t{skipped} * p.m * p.k;
  const int32_t position = static_cast<int32_t>((int64_t{p.position} + skipped) % p.window);
  qz_cuda_launch(kernel,
                 {static_cast<uint32_t>(
                     qz_ypu_cuda_multiprocessor_count(static_cast<qz_ypu_cuda_device_t *>(device)))},
                 {32, 8}, p.m, p.n - skipped, p.k, in, qz_ypu_cuda_operand<Code>(p.xq),
                 qz_ypu_cuda_operand<float>(p.intercept), qz_ypu_cuda_operand<float>(p.slope),
                 p.window, position);
  return qz_ypu_cuda_launch_status();
}

}  // namespace
#endif

#if QZ_CUDA_BUILDS(QUANTIZE_ROWS_RING_U8)
QZ_CUDA_KERNEL void taabe261(int m, int n, int k, const float *in, unsigned char *codes,
                             float *min, float *scale, int W, int position) {
  qz_cuda_quantize_ring(m, n, k, in, codes, min, scale, W, position, 255.0f);
}

qz_status_t qz_ypu_cuda_quantize_rows_ring_u8(void *device, void *, const void *params) {
  return qz_cuda_launch_ring<unsigned char>(taabe261, device, params);
}
#endif

#if QZ_CUDA_BUILDS(QUANTIZE_ROWS_RING_U16)
QZ_CUDA_KERNEL void taabe261(int m, int n, int k, const float *in, unsigned short *codes,
                             float *min, float *scale, int W, int position) {
  qz_cuda_quantize_ring(m, n, k, in, codes, min, scale, W, position, 65535.0f);
}

qz_status_t qz_ypu_cuda_quantize_rows_ring_u16(void *device, void *, const void *params) {
  return qz_cuda_launch_ring<unsigned short>(taabe261, device, params);
}
#endif

QZ_CUDA_END
