// Resizes of channel-last data: bicubic with half-pixel centres (op 8),
// bilinear with aligned corners (op 9), 1-D linear with half-pixel centres
// (op 37). One thread per output value (channel, column, row).

// The cubic convolution kernel with a = -0.75 at distance d.
static inline float resize_cubic(float d) {
  const float a = fast::fabs(d);
  if (a <= 1.0f) return (1.25f * a - 2.25f) * a * a + 1.0f;
  if (a < 2.0f) return ((3.75f - 0.75f * a) * a - 6.0f) * a + 3.0f;
  return 0.0f;
}

kernel void taabe242(constant int& tgt_h QZ_BYTES(0), constant int& tgt_w QZ_BYTES(1),
                     constant int& src_h QZ_BYTES(2), constant int& src_w QZ_BYTES(3),
                     constant int& dim QZ_BYTES(4), device float* oo QZ_BUFFER(5),
                     device const float* ii QZ_BUFFER(6), uint3 gid QZ_THREAD_POSITION_IN_GRID) {
  const int c = int(gid.x), x = int(gid.y), y = int(gid.z);
  const float sy = (float(y) + 0.5f) * (float(src_h) / float(tgt_h)) - 0.5f;
  const float sx = (float(x) + 0.5f) * (float(src_w) / float(tgt_w)) - 0.5f;
  const int y0 = int(floor(sy)), x0 = int(floor(sx));
  float wx[4];
  for (int i = 0; i < 4; ++i) wx[i] = resize_cubic(sx - float(x0 - 1 + i));
  float acc = 0.0f;
  for (int j = 0; j < 4; ++j) {
    const float wy = resize_cubic(sy - float(y0 - 1 + j));
    const int yy = clamp(y0 - 1 + j, 0, src_h - 1);
    for (int i = 0; i < 4; ++i) {
      const int xx = clamp(x0 - 1 + i, 0, src_w - 1);
      acc += (ii[(yy * src_w + xx) * dim + c] * wy) * wx[i];
    }
  }
  oo[(y * tgt_w + x) * dim + c] = acc;
}
QZ_REGISTER(taabe242)

kernel void taabe223(constant int& tgt_h QZ_BYTES(0), constant int& tgt_w QZ_BYTES(1),
                     constant int& src_h QZ_BYTES(2), constant int& src_w QZ_BYTES(3),
                     constant int& dim QZ_BYTES(4), device float* oo QZ_BUFFER(5),
                     device const float* ii QZ_BUFFER(6), uint3 gid QZ_THREAD_POSITION_IN_GRID) {
  const int c = int(gid.x), x = int(gid.y), y = int(gid.z);
  const float sy = tgt_h > 1 ? float(src_h - 1) * float(y) / float(tgt_h - 1) : 0.0f;
  const float sx = tgt_w > 1 ? float(src_w - 1) * float(x) / float(tgt_w - 1) : 0.0f;
  const float fy0 = floor(sy), fx0 = floor(sx);
  const int y0 = int(fy0), x0 = int(fx0);
  const int y1 = clamp(y0 + 1, 0, src_h - 1), x1 = clamp(x0 + 1, 0, src_w - 1);
  const float fy = sy - fy0, fx = sx - fx0;
  const float top = ii[(y0 * src_w + x0) * dim + c] * (1.0f - fx) + ii[(y0 * src_w + x1) * dim + c] * fx;
  const float bottom =
      ii[(y1 * src_w + x0) * dim + c] * (1.0f - fx) + ii[(y1 * src_w + x1) * dim + c] * fx;
  oo[(y * tgt_w + x) * dim + c] = top + fy * (bottom - top);
}
QZ_REGISTER(taabe223)

kernel void taabe269(constant int& tgt_len QZ_BYTES(0), constant int& src_len QZ_BYTES(1),
                     constant int& dim QZ_BYTES(2), device float* oo QZ_BUFFER(3),
                     device const float* ii QZ_BUFFER(4), uint2 gid QZ_THREAD_POSITION_IN_GRID) {
  const int c = int(gid.x), i = int(gid.y);
  const float s = (float(i) + 0.5f) * (float(src_len) / float(tgt_len)) - 0.5f;
  const float base = floor(s), f = s - base;
  const int i0 = clamp(int(base), 0, src_len - 1), i1 = clamp(int(base) + 1, 0, src_len - 1);
  const float v0 = ii[i0 * dim + c], v1 = ii[i1 * dim + c];
  oo[i * dim + c] = v0 + (v1 - v0) * f;
}
QZ_REGISTER(taabe269)
