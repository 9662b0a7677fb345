// Key/value cache writers: rows quantised into the uint8 and uint16 ring
// caches and the uint8 linear cache, the int16 row quantiser, and the
// in-place left shift of cache rows.

// Minimum and maximum of a row, from its first value.
struct kv_cache_range {
  float lo, hi;
};

static inline kv_cache_range kv_cache_row_range(device const float* x, int k) {
  kv_cache_range r;
  r.lo = x[0];
  r.hi = x[0];
  for (int i = 1; i < k; ++i) {
    r.lo = min(r.lo, x[i]);
    r.hi = max(r.hi, x[i]);
  }
  return r;
}

// Codes (x - lo) * inv rounded half away from zero. A constant row (hi == lo)
// has no step: its codes are 0 and it reads back as its intercept. Codes are
// held to [0, top], so a NaN or a rounding past the top cannot wrap.
template <typename Code>
static inline void kv_cache_write_codes(device Code* codes, device const float* x, int k,
                                        kv_cache_range r, float levels, float top) {
  const float span = r.hi - r.lo;
  const float inv = span > 0.0f ? levels / span : 0.0f;
  for (int i = 0; i < k; ++i) {
    const float q = round((x[i] - r.lo) * inv);
    codes[i] = Code(q >= 0.0f && !qz_metal_is_nan(q) ? min(q, top) : 0.0f);
  }
}

// Ring writer: input row (b, a) of [n][m][k] goes to ring row
// (position + b) mod W of head a. When a call brings more rows than the ring
// holds, only the last W reach it (as when written one after another).
template <typename Code>
static inline void kv_cache_ring(int m, int n, int k, device const float* xf, device Code* xq,
                                 device float* intercept, device float* slope, int window,
                                 int position, uint2 gid, float step, float levels, float top) {
  const int a = int(gid.x), b = int(gid.y);
  if (b < n - window) return;
  const long r = long(a) * window + (long(position) + b) % window;
  device const float* x = xf + (long(b) * m + a) * k;
  const kv_cache_range range = kv_cache_row_range(x, k);
  intercept[r] = range.lo;
  slope[r] = (range.hi - range.lo) * step;
  kv_cache_write_codes<Code>(xq + r * k, x, k, range, levels, top);
}

kernel void taabe82(constant int& m QZ_BYTES(0), constant int& n QZ_BYTES(1),
                    constant int& k QZ_BYTES(2), device const float* xf QZ_BUFFER(3),
                    device uchar* xq QZ_BUFFER(4), device float* intercept QZ_BUFFER(5),
                    device float* slope QZ_BUFFER(6), constant int& window QZ_BYTES(7),
                    constant int& position QZ_BYTES(8), uint2 gid QZ_THREAD_POSITION_IN_GRID) {
  kv_cache_ring<uchar>(m, n, k, xf, xq, intercept, slope, window, position, gid,
                       0.003921568859368563f, 254.99998474121094f, 255.0f);
}
QZ_REGISTER(taabe82)

kernel void taabe150(constant int& m QZ_BYTES(0), constant int& n QZ_BYTES(1),
                     constant int& k QZ_BYTES(2), device const float* xf QZ_BUFFER(3),
                     device ushort* xq QZ_BUFFER(4), device float* intercept QZ_BUFFER(5),
                     device float* slope QZ_BUFFER(6), constant int& window QZ_BYTES(7),
                     constant int& position QZ_BYTES(8), uint2 gid QZ_THREAD_POSITION_IN_GRID) {
  kv_cache_ring<ushort>(m, n, k, xf, xq, intercept, slope, window, position, gid,
                        1.5259021893143654e-05f, 65535.0f, 65535.0f);
}
QZ_REGISTER(taabe150)

// Linear-cache writer: input row (a, b) of [m][n][k] goes to cache row
// a * max_length + position + b, with its {scale, min} pair.
kernel void taabe20(constant int& m QZ_BYTES(0), constant int& n QZ_BYTES(1),
                    constant int& k QZ_BYTES(2), constant int& max_length QZ_BYTES(3),
                    constant int& position QZ_BYTES(4), device uchar* xq QZ_BUFFER(5),
                    device float* xm QZ_BUFFER(6), device const float* xf QZ_BUFFER(7),
                    uint2 gid QZ_THREAD_POSITION_IN_GRID) {
  const int a = int(gid.x), b = int(gid.y);
  const long r = long(a) * max_length + position + b;
  device const float* x = xf + (long(a) * n + b) * k;
  const kv_cache_range range = kv_cache_row_range(x, k);
  kv_cache_write_codes<uchar>(xq + r * k, x, k, range, 254.99998474121094f, 255.0f);
  xm[2 * r] = (range.hi - range.lo) * 0.003921568859368563f;
  xm[2 * r + 1] = range.lo;
}
QZ_REGISTER(taabe20)

// Int16 row quantiser: the largest magnitude maps to 31 * 1024. An all-zero
// row has no scale: its codes and its inverse scale are 0.
kernel void taabe100(constant int& m QZ_BYTES(0), constant int& n_arg QZ_BYTES(1),
                     device short* output QZ_BUFFER(2), device float* inverse_scale QZ_BUFFER(3),
                     device const float* input QZ_BUFFER(4), uint row QZ_THREAD_POSITION_IN_GRID) {
  const int n = n_arg;
  device const float* x = input + long(row) * n;
  device short* o = output + long(row) * n;
  float a = 0.0f;
  for (int i = 0; i < n; ++i) a = max(a, fabs(x[i]));
  if (!(a > 0.0f)) {
    for (int i = 0; i < n; ++i) o[i] = 0;
    inverse_scale[row] = 0.0f;
    return;
  }
  const float s = 31.0f / a;
  const float scale = s * 1024.0f;
  for (int i = 0; i < n; ++i) {
    const float v = x[i] * scale;
    o[i] = short(v >= 32767.0f ? 32767 : v <= -32768.0f ? -32768 : int(v));
  }
  inverse_scale[row] = 7.62939453125e-06f / s;
}
QZ_REGISTER(taabe100)

// Left shift of each row's bytes, in place, in ascending order.
kernel void taabe323(constant int& size_bytes QZ_BYTES(0), constant int& input_offset QZ_BYTES(1),
                     device uchar* output QZ_BUFFER(2), uint row QZ_THREAD_POSITION_IN_GRID) {
  const int row_bytes = size_bytes, shift = input_offset;
  device uchar* data = output + long(row) * row_bytes;
  for (int i = 0; i + shift < row_bytes; ++i) data[i] = data[i + shift];
}
QZ_REGISTER(taabe323)
