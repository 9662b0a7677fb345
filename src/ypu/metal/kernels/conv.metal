// Convolutions: the int8 x int16 depthwise, full and transposed 1-D
// convolutions into int32 (ops 10, 11, 12) and the float 2-D convolution
// (op 13). Integer sums are taken in uint, so they wrap in 32 bits as the
// host's do and give its values in any order of addition.

// Op 10: row t = 16 gx + ty, channels lane, lane + S, ...; the tap sum is
// added into out (the operation accumulates).
kernel void taabe258(constant int& n QZ_BYTES(0), constant int& num_channels QZ_BYTES(1),
                     constant int& kernel_size QZ_BYTES(2), device int* output QZ_BUFFER(3),
                     device const char* lhs QZ_BUFFER(4), device const short* rhs QZ_BUFFER(5),
                     uint2 tid QZ_THREAD_POSITION_IN_THREADGROUP,
                     uint2 size QZ_THREADS_PER_THREADGROUP,
                     uint2 group QZ_THREADGROUP_POSITION_IN_GRID) {
  const int t = int(group.x) * 16 + int(tid.y);
  if (t >= n) return;
  const int channels = num_channels;
  for (int c = int(tid.x); c < channels; c += int(size.x)) {
    uint s = 0;
    for (int k = 0; k < kernel_size; ++k)
      s += uint(int(lhs[k * channels + c]) * int(rhs[(t + k) * channels + c]));
    output[t * channels + c] = int(uint(output[t * channels + c]) + s);
  }
}
QZ_REGISTER(taabe258)

// Op 11: output (t, o) with t = 16 gx + ty and o = gy is one SIMD-group's
// dot product over the contiguous window of kernel_size frames.
kernel void taabe259(constant int& n QZ_BYTES(0), constant int& out_channels QZ_BYTES(1),
                     constant int& in_channels QZ_BYTES(2), constant int& kernel_size QZ_BYTES(3),
                     device int* output QZ_BUFFER(4), device const char* lhs QZ_BUFFER(5),
                     device const short* rhs QZ_BUFFER(6),
                     uint2 tid QZ_THREAD_POSITION_IN_THREADGROUP,
                     uint2 size QZ_THREADS_PER_THREADGROUP,
                     uint2 group QZ_THREADGROUP_POSITION_IN_GRID) {
  const int t = int(group.x) * 16 + int(tid.y), o = int(group.y);
  if (t >= n || o >= out_channels) return;
  const int length = in_channels * kernel_size;
  uint p = 0;
  for (int q = int(tid.x); q < length; q += int(size.x))
    p += uint(int(lhs[o * length + q]) * int(rhs[t * in_channels + q]));
  const uint s = simd_sum(p);
  if (tid.x == 0) output[t * out_channels + o] = int(s);
}
QZ_REGISTER(taabe259)

// Op 12, phase form: output row t*stride + s sums the taps k*stride + s of
// input rows t - k, for t below n + kernel_size - 1 (the last output row is
// (n - 1)*stride + taps - 1). Every output row is written with its whole
// sum, as the CPU backend's kernels write it, so the old output is not read.
kernel void taabe16(constant int& n QZ_BYTES(0), constant int& num_channels QZ_BYTES(1),
                    constant int& kernel_size QZ_BYTES(2), constant int& stride QZ_BYTES(3),
                    device int* output QZ_BUFFER(4), device const char* lhs QZ_BUFFER(5),
                    device const short* rhs QZ_BUFFER(6),
                    uint2 tid QZ_THREAD_POSITION_IN_THREADGROUP,
                    uint2 size QZ_THREADS_PER_THREADGROUP,
                    uint2 group QZ_THREADGROUP_POSITION_IN_GRID) {
  const int t = int(group.x) * 16 + int(tid.y);
  if (t >= n + kernel_size - 1 || stride <= 0) return;
  const int channels = num_channels;
  for (int s = 0; s < stride; ++s)
    for (int c = int(tid.x); c < channels; c += int(size.x)) {
      uint acc = 0;
      for (int k = 0; k < kernel_size; ++k) {
        if (t - k < 0 || t - k >= n) continue;
        acc += uint(int(lhs[(k * stride + s) * channels + c]) * int(rhs[(t - k) * channels + c]));
      }
      output[(t * stride + s) * channels + c] = int(acc);
    }
}
QZ_REGISTER(taabe16)

// Op 13: one threadgroup per output value (batch and output channel in the
// group's y, output position in its z); the products are summed per thread,
// per SIMD-group, then over the at most 8 SIMD-groups.
kernel void taabe328(constant int& stride QZ_BYTES(0), constant int& padding QZ_BYTES(1),
                     constant int& batch_size QZ_BYTES(2),
                     constant int& num_out_channels QZ_BYTES(3),
                     constant int& num_in_channels QZ_BYTES(4), constant int& height QZ_BYTES(5),
                     constant int& width QZ_BYTES(6), constant int& kernel_height QZ_BYTES(7),
                     constant int& kernel_width QZ_BYTES(8), device float* oo QZ_BUFFER(9),
                     device const float* ii QZ_BUFFER(10), device const float* ww QZ_BUFFER(11),
                     uint x QZ_THREAD_INDEX_IN_THREADGROUP,
                     uint threads QZ_THREADS_PER_THREADGROUP,
                     uint3 group QZ_THREADGROUP_POSITION_IN_GRID,
                     uint lane QZ_THREAD_INDEX_IN_SIMDGROUP,
                     uint simd QZ_SIMDGROUP_INDEX_IN_THREADGROUP,
                     uint simd_width QZ_THREADS_PER_SIMDGROUP) {
  qz_threadgroup float warp_sums[8];
  const int out_w = (width + 2 * padding - kernel_width) / stride + 1;
  const int out_h = (height - kernel_height + 2 * padding) / stride + 1;
  const int b = int(group.y) / num_out_channels, o = int(group.y) % num_out_channels;
  const int p = int(group.z), oh = p / out_w, ow = p % out_w;
  const int window = kernel_height * kernel_width;
  const int length = num_in_channels * window;
  warp_sums[x & 7] = 0.0f;
  threadgroup_barrier(mem_flags::mem_threadgroup);
  float acc = 0.0f;
  for (int l = int(x); l < length; l += int(threads)) {
    const int c = l / window, kh = (l % window) / kernel_width, kw = l % kernel_width;
    const int ih = oh * stride - padding + kh, iw = ow * stride - padding + kw;
    if (ih >= 0 && ih < height && iw >= 0 && iw < width)
      acc += ii[((b * num_in_channels + c) * height + ih) * width + iw] * ww[o * length + l];
  }
  const float s = simd_sum(acc);
  if (lane == 0) warp_sums[x / simd_width] = s;
  threadgroup_barrier(mem_flags::mem_threadgroup);
  if (simd == 0) {
    // Slots past the group's SIMD-groups were cleared above (the group has
    // at least as many threads as SIMD-groups, at most 8 of them).
    const float total = simd_sum(lane < 8 ? warp_sums[lane] : 0.0f);
    if (x == 0) oo[(b * num_out_channels + o) * out_h * out_w + p] = total;
  }
}
QZ_REGISTER(taabe328)
