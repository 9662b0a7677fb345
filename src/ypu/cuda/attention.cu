// Attention: new query rows over uint8/uint16 ring caches, the score and
// value products over float keys and uint8 linear caches, the window mask,
// and the blocked attention over five key splits.
#include "ypu/cuda/block_reduce.h"
#include "ypu/host/attention.h"

QZ_CUDA_BEGIN

#define QZ_CUDA_ATTENTION_RING (QZ_CUDA_BUILDS(ATTENTION_KV_U8) || QZ_CUDA_BUILDS(ATTENTION_KV_U16))

// Key/value heads must group the query heads evenly (the kernels divide by
// H / Q): the entries decline other heads (qz_ypu_attention_heads_valid) and
// the host refuses the call.

namespace {

#if QZ_CUDA_ATTENTION_RING || QZ_CUDA_BUILDS(ATTENTION_SCORES_CACHE_U8)
// qz_cuda_warp_dot of a query row and a row of key codes, each code read as
// slope x code + intercept (one fused step) before its product.
template <class Code>
__device__ __forceinline__ float qz_cuda_warp_dot_codes(const float *q, const Code *codes,
                                                        float slope, float intercept, int D) {
  float dot = 0.0f;
  for (int d = threadIdx.x; d < D; d += 32)
    dot = fmaf(q[d], fmaf(slope, static_cast<float>(codes[d]), intercept), dot);
  return qz_cuda_butterfly(dot, qz_cuda_add_f32{}, 16);
}
#endif

#if QZ_CUDA_ATTENTION_RING || QZ_CUDA_BUILDS(ATTENTION_BLOCKED_F32)
// A device temporary of `bytes`; on failure (a size no buffer can have, or a
// refused allocation) the allocation's and the attention's messages and null.
qz_ypu_buffer_t *qz_cuda_attention_temporary(void *device, int64_t bytes) {
  qz_ypu_buffer_t *buffer = nullptr;
  if (bytes >= 0 && bytes <= INT32_MAX)
    buffer = qz_ypu_cuda_buffer_create(device, static_cast<int32_t>(bytes), 0);
  else
    qz_error_push_at("", 0, &QZ_YPU_CUDA_ERROR_ALLOC);
  if (!buffer) qz_error_push_at("", 0, &QZ_ATTENTION_ERROR_MEMORY);
  return buffer;
}
#endif

}  // namespace

// ---------------------------------------------------------------------------
// Ops 5 and 6: attention of n new rows over a ring cache, in chunks of (at
// most) 128.

#if QZ_CUDA_ATTENTION_RING
namespace {

// The c_j positions row j sees and the oldest of them.
struct ring_view {
  int count, first;
};
__device__ __forceinline__ ring_view qz_cuda_ring_view(int position, int j, int W) {
  const int seen = position + j + 1;
  return {seen < W ? seen : W, seen - W > 0 ? seen - W : 0};
}

// Unscaled scores: warp items (head, visible key) strided over the grid.
template <class Code>
__device__ void qz_cuda_ring_scores(const float *query, const Code *key_codes,
                                    const float *key_min, const float *key_scale, int n, int D,
                                    int H, int Q, int W, int Mx, int off, int position,
                                    float *scores) {
  const int y = blockIdx.y, j = off + y;
  const ring_view v = qz_cuda_ring_view(position, j, W);
  const int per_kv = H / Q;
  for (int w = blockIdx.x * 16 + threadIdx.y; w < v.count * H; w += 16 * gridDim.x) {
    const int h = w / v.count, i = w % v.count;
    const int64_t e = static_cast<int64_t>(h / per_kv) * W + (v.first + i) % W;
    const Code *row = key_codes + e * D;
    const float slope = key_scale[e], intercept = key_min[e];
    const float *q = query + (static_cast<int64_t>(h) * n + j) * D;
    const float dot = qz_cuda_warp_dot_codes(q, row, slope, intercept, D);
    if (threadIdx.x == 0) scores[(static_cast<int64_t>(y) * H + h) * Mx + i] = dot;
  }
}

// Weighted values: rows of X lanes split the visible keys of one output
// element, Y rows per block, items strided over the grid. The loop runs
// the same number of times in every lane of the block, so the butterflies
// see all their lanes.
template <class Code>
__device__ void qz_cuda_ring_values(const Code *value_codes, const float *value_min,
                                    const float *value_scale, int D, int H, int Q, int W, int Mx,
                                    int off, int position, const float *scores, float *out) {
  const int X = blockDim.x, Y = blockDim.y, lane = threadIdx.x;
  const int y = blockIdx.y, j = off + y;
  const ring_view v = qz_cuda_ring_view(position, j, W);
  const int per_kv = H / Q;
  const unsigned mask = X * Y >= 32 ? 0xFFFFFFFFu : (1u << (X * Y)) - 1u;
  for (int base = blockIdx.x * Y; base < H * D; base += gridDim.x * Y) {
    const int w = base + threadIdx.y;
    const int h = w / D, d = w % D;
    float sum = 0.0f;
    if (w < H * D) {
      const float *p = scores + (static_cast<int64_t>(y) * H + h) * Mx;
      const int64_t ring = static_cast<int64_t>(h / per_kv) * W;
      for (int i = lane; i < v.count; i += X) {
        const int64_t e = ring + (v.first + i) % W;
        sum = fmaf(p[i], fmaf(value_scale[e], static_cast<float>(value_codes[e * D + d]),
                              value_min[e]),
                   sum);
      }
    }
    for (int distance = X / 2; distance >= 1; distance >>= 1)
      sum = sum + __shfl_xor_sync(mask, sum, distance);
    if (w < H * D && lane == 0) out[(static_cast<int64_t>(j) * H + h) * D + d] = sum;
  }
}

// The block total of a 32 x 16 block for every thread. Threads 0..31 fold
// the 16 warp totals in groups of 16 lanes; the last barrier keeps the next
// reduction from overwriting shmem[0] before every warp has read it.
template <class Op>
__device__ float qz_cuda_reduce_512(float v, Op op, float *shmem) {
  v = qz_cuda_butterfly(v, op, 16);
  if (threadIdx.x == 0) shmem[threadIdx.y] = v;
  __syncthreads();
  if (threadIdx.y == 0) {
    v = qz_cuda_butterfly(shmem[threadIdx.x], op, 8);
    if (threadIdx.x == 0) shmem[0] = v;
  }
  __syncthreads();
  const float total = shmem[0];
  __syncthreads();
  return total;
}

}  // namespace

// Softmax of the scaled scores of score row (y, h), of the c_j keys it sees.
QZ_CUDA_KERNEL void QZ_CUDA_LAUNCH_BOUNDS(512)
    taabe163(float *scores, float scale, int Mx, int L0) {
  __shared__ float shmem[32];
  const int h = blockIdx.x, y = blockIdx.y, H = gridDim.x;
  const int length = y + L0 < Mx ? y + L0 : Mx;
  float *row = scores + (static_cast<int64_t>(y) * H + h) * Mx;
  const int t = threadIdx.y * 32 + threadIdx.x;
  float m = -INFINITY;
  for (int i = t; i < length; i += 512) {
    const float v = row[i] * scale;
    row[i] = v;
    m = fmaxf(m, v);
  }
  m = qz_cuda_reduce_512(m, qz_cuda_max_f32{}, shmem);
  float sum = 0.0f;
  for (int i = t; i < length; i += 512) {
    const float e = expf(row[i] - m);
    row[i] = e;
    sum = sum + e;
  }
  sum = qz_cuda_reduce_512(sum, qz_cuda_add_f32{}, shmem);
  const float inverse = 1.0f / sum;
  for (int i = t; i < length; i += 512) row[i] = row[i] * inverse;
}

namespace {

template <class Code>
using qz_cuda_ring_scores_kernel = void (*)(const float *, const Code *, const float *,
                                            const float *, int, int, int, int, int, int, float,
                                            int, int, float *);
template <class Code>
using qz_cuda_ring_values_kernel = void (*)(const Code *, const float *, const float *, int, int,
                                            int, int, int, int, int, const float *, float *);

// The lanes per output element of the value kernel for a chunk whose first
// row sees L0 keys, and the rows of lanes per block.
qz_cuda_dim3_t qz_cuda_ring_values_block(int L0, int HD) {
  const uint32_t x = L0 <= 16 ? 1 : L0 <= 32 ? 2 : L0 <= 64 ? 4 : L0 <= 128 ? 8 : L0 <= 256 ? 16 : 32;
  uint32_t y = 1;
  if (HD > 28)
    for (y = 2; 28 * static_cast<int64_t>(y) < HD && x * y < 512;) y *= 2;
  return {x, y};
}

template <class Code>
qz_status_t qz_cuda_attention_kv(qz_cuda_ring_scores_kernel<Code> scores_kernel,
                                 qz_cuda_ring_values_kernel<Code> values_kernel, void *device,
                                 const void *params) {
  const auto &p = *static_cast<const qz_ypu_attention_kv_params_t *>(params);
  const int32_t n = p.num_queries, W = p.window_length, H = p.num_heads, D = p.head_dimension;
  if (n < 1 || H < 1) return QZ_STATUS_SUCCESS;
  // The ring arithmetic needs a ring, a position at or after the start, and
  // evenly grouped heads; anything else is the host's to judge.
  if (W < 1 || p.position < 0 || !qz_ypu_attention_heads_valid(H, p.num_kv_heads))
    return QZ_STATUS_INVALID_ARGUMENT;
  const int64_t seen = int64_t{n} + p.position + 1;
  const int32_t Mx = static_cast<int32_t>(seen < W ? seen : W);
  const int32_t chunk = qz_ypu_cuda_ring_chunk_rows(H, Mx, n);
  if (chunk < 1) return QZ_STATUS_INVALID_ARGUMENT;
  qz_ypu_buffer_t *block = qz_cuda_attention_temporary(device, int64_t{H} * Mx * 4 * chunk);
  if (!block) return QZ_STATUS_OUT_OF_MEMORY;
  float *scores = qz_ypu_cuda_operand<float>(block);
  const uint32_t P = static_cast<uint32_t>(
      qz_ypu_cuda_multiprocessor_count(static_cast<qz_ypu_cuda_device_t *>(device)));
  const float scale = qz_ypu_attention_scale(D);
  qz_status_t status = QZ_STATUS_SUCCESS;
  for (int32_t off = 0; off < n && status == QZ_STATUS_SUCCESS; off += chunk) {
    const uint32_t count = static_cast<uint32_t>(n - off < chunk ? n - off : chunk);
    const int64_t first_seen = int64_t{off} + p.position + 1;
    const int32_t L0 = static_cast<int32_t>(first_seen < W ? first_seen : W);
    qz_cuda_launch(scores_kernel, {P, count}, {32, 16}, qz_ypu_cuda_operand<const float>(p.query),
                   qz_ypu_cuda_operand<const Code>(p.keys),
                   qz_ypu_cuda_operand<const float>(p.key_intercepts),
                   qz_ypu_cuda_operand<const float>(p.key_slopes), n, D, H, p.num_kv_heads, W,
                   Mx, scale, off, p.position, scores);
    status = qz_ypu_cuda_launch_status();
    if (status != QZ_STATUS_SUCCESS) break;
    qz_cuda_launch(taabe163, {static_cast<uint32_t>(H), count}, {32, 16}, scores, scale, Mx, L0);
    status = qz_ypu_cuda_launch_status();
    if (status != QZ_STATUS_SUCCESS) break;
    qz_cuda_launch(values_kernel, {P, count}, qz_cuda_ring_values_block(L0, H * D),
                   qz_ypu_cuda_operand<const Code>(p.values),
                   qz_ypu_cuda_operand<const float>(p.value_intercepts),
                   qz_ypu_cuda_operand<const float>(p.value_slopes), D, H, p.num_kv_heads, W, Mx,
                   off, p.position, static_cast<const float *>(scores),
                   qz_ypu_cuda_operand<float>(p.output));
    status = qz_ypu_cuda_launch_status();
  }
  qz_ypu_cuda_buffer_free(device, block);
  return status;
}

}  // namespace
#endif

// Each op's module has its own scores and values kernels, over its code
// type, and its entry.
#define QZ_CUDA_RING_ATTENTION(Code, entry)                                                     \
  QZ_CUDA_KERNEL void QZ_CUDA_LAUNCH_BOUNDS(512)                                                \
      taabe58(const float *query, const Code *key_codes, const float *key_min,                  \
              const float *key_scale, int n, int D, int H, int Q, int W, int Mx, float scale,   \
              int off, int position, float *scores) {                                           \
    (void)scale;                                                                                \
    qz_cuda_ring_scores(query, key_codes, key_min, key_scale, n, D, H, Q, W, Mx, off, position, \
                        scores);                                                                \
  }                                                                                             \
  QZ_CUDA_KERNEL void QZ_CUDA_LAUNCH_BOUNDS(512)                                                \
      taabe298(const Code *value_codes, const float *value_min, const float *value_scale, int D,\
               int H, int Q, int W, int Mx, int off, int position, const float *scores,         \
               float *out) {                                                                    \
    qz_cuda_ring_values(value_codes, value_min, value_scale, D, H, Q, W, Mx, off, position,     \
                        scores, out);                                                           \
  }                                                                                             \
  qz_status_t entry(void *device, void *, const void *params) {                                 \
    return qz_cuda_attention_kv<Code>(taabe58, taabe298, device, params);                       \
  }

#if QZ_CUDA_BUILDS(ATTENTION_KV_U8)
QZ_CUDA_RING_ATTENTION(unsigned char, qz_ypu_cuda_attention_kv_u8)
#endif

#if QZ_CUDA_BUILDS(ATTENTION_KV_U16)
QZ_CUDA_RING_ATTENTION(unsigned short, qz_ypu_cuda_attention_kv_u16)
#endif

// ---------------------------------------------------------------------------
// Op 65: blocked attention, each query row's keys in five splits merged by
// their running maxima and sums.

#if QZ_CUDA_BUILDS(ATTENTION_BLOCKED_F32)
namespace {
constexpr int QZ_CUDA_SPLITS = 5;
}  // namespace

// Grids hold at most 65,535 blocks in y and z: the op 65 kernels walk the
// heads (y) and the query-row groups of every split (z) in steps of the grid.
QZ_CUDA_KERNEL void taabe212(float *maxima, float *sums, int Sq, int H, int G4) {
  if (threadIdx.x != 0) return;
  const int b = blockIdx.x;
  for (int h = blockIdx.y; h < H; h += gridDim.y)
    for (int z = blockIdx.z; z < QZ_CUDA_SPLITS * G4; z += gridDim.z) {
      const int q = (z % G4) * 4 + threadIdx.y, s = z / G4;
      if (q >= Sq) continue;
      const int64_t i = ((static_cast<int64_t>(b) * H + h) * Sq + q) * QZ_CUDA_SPLITS + s;
      maxima[i] = -INFINITY;
      sums[i] = 0.0f;
    }
}

namespace {

// One warp's split s of query row q of head h: its running maximum, sum
// and weighted values. The values add up in `acc` (D floats of shared
// memory, or the split's own partial row when a block's four rows do not
// fit beside the scores); `score` holds the warp's 256 scores.
__device__ void qz_cuda_blocked_split(float *partial, const float *query, const float *key,
                                      const float *value, float *maxima, float *sums, int Sq,
                                      int Skv, int H, int Q, int per_kv, int D, float scale,
                                      int b, int h, int q, int s, float *acc, float *score) {
  const int lane = threadIdx.x;
  const int S = (Skv + 4) / 5;
  const int first = s * S, last = first + S < Skv ? first + S : Skv;
  if (q >= Sq || first >= Skv) return;
  float *out = partial + (((static_cast<int64_t>(b) * Sq + q) * H + h) * QZ_CUDA_SPLITS + s) * D;
  if (!acc) acc = out;
  for (int d = lane; d < D; d += 32) acc[d] = 0.0f;
  const int64_t ms = ((static_cast<int64_t>(b) * H + h) * Sq + q) * QZ_CUDA_SPLITS + s;
  float m = maxima[ms], l = sums[ms];
  const int g = h / per_kv;
  const float *qrow = query + ((static_cast<int64_t>(b) * Sq + q) * H + h) * D;
  auto kv_row = [&](const float *base, int k) {
    return base + ((static_cast<int64_t>(b) * Skv + k) * Q + g) * D;
  };
  for (int k0 = first; k0 < last; k0 += 256) {
    const int count = last - k0 < 256 ? last - k0 : 256;
    for (int j = 0; j < count; ++j) {
      const float dot = qz_cuda_warp_dot(qrow, kv_row(key, k0 + j), D);
      if (lane == 0) score[j] = dot * scale;
    }
    __syncwarp();
    float bm = -INFINITY;
    for (int j = 0; j < count; ++j) bm = fmaxf(bm, score[j]);
    const float m_new = fmaxf(m, bm + QZ_ATTENTION_MAX_HEADROOM);
    const float f = expf(m - m_new);
    for (int d = lane; d < D; d += 32) acc[d] = acc[d] * f;
    l = l * f;
    for (int j = 0; j < count; ++j) {
      const float x = score[j] - m_new;
      const float p = x < QZ_ATTENTION_CUTOFF ? 0.0f : expf(x);
      l = l + p;
      const float *v = kv_row(value, k0 + j);
      for (int d = lane; d < D; d += 32) acc[d] = fmaf(p, v[d], acc[d]);
    }
    m = m_new;
    // Every lane has read the scores before lane 0 writes the next block's.
    __syncwarp();
  }
  if (acc != out)
    for (int d = lane; d < D; d += 32) out[d] = acc[d];
  if (lane == 0) {
    maxima[ms] = m;
    sums[ms] = l;
  }
}

}  // namespace

// Warp w of the block takes row (z % G4) * 4 + w of split z / G4. The
// shared memory holds the four rows' accumulators when `shared_acc` (then
// 4 D + 1,024 floats), else only the scores (1,024 floats).
QZ_CUDA_KERNEL void taabe120(float *partial, const float *query, const float *key,
                             const float *value, float *maxima, float *sums, int Sq, int Skv,
                             int H, int Q, int per_kv, int D, int G4, float scale,
                             int shared_acc) {
  QZ_CUDA_DYNAMIC_SHARED(float, shmem);
  const int b = blockIdx.x, w = threadIdx.y;
  float *acc = shared_acc ? shmem + w * D : nullptr;
  float *score = shmem + (shared_acc ? 4 * D : 0) + 256 * w;
  for (int h = blockIdx.y; h < H; h += gridDim.y)
    for (int z = blockIdx.z; z < QZ_CUDA_SPLITS * G4; z += gridDim.z)
      qz_cuda_blocked_split(partial, query, key, value, maxima, sums, Sq, Skv, H, Q, per_kv, D,
                            scale, b, h, (z % G4) * 4 + w, z / G4, acc, score);
}

namespace {

// Query row q of head h from its five splits. A split without keys (sum 0)
// is skipped: its partial row was never written, and 0 times whatever the
// memory holds could be NaN. Without any key the row stays 0, as the value
// product of no keys gives.
__device__ void qz_cuda_blocked_merge(float *out, const float *partial, const float *maxima,
                                      const float *sums, int Sq, int H, int D, int b, int h,
                                      int q) {
  const int lane = threadIdx.x;
  if (q >= Sq) return;
  const int64_t row = (static_cast<int64_t>(b) * Sq + q) * H + h;
  const int64_t ms = ((static_cast<int64_t>(b) * H + h) * Sq + q) * QZ_CUDA_SPLITS;
  float all = -INFINITY;
  for (int s = 0; s < QZ_CUDA_SPLITS; ++s) all = fmaxf(all, maxima[ms + s]);
  float *o = out + row * D;
  for (int d = lane; d < D; d += 32) o[d] = 0.0f;
  float L = 0.0f;
  for (int s = 0; s < QZ_CUDA_SPLITS; ++s) {
    const float l = sums[ms + s];
    if (l == 0.0f) continue;
    const float w = expf(maxima[ms + s] - all);
    L = fmaf(l, w, L);
    const float *p = partial + (row * QZ_CUDA_SPLITS + s) * D;
    for (int d = lane; d < D; d += 32) o[d] = fmaf(w, p[d], o[d]);
  }
  if (L == 0.0f) return;
  for (int d = lane; d < D; d += 32) o[d] = o[d] / L;
}

}  // namespace

QZ_CUDA_KERNEL void taabe230(float *out, const float *partial, const float *maxima,
                             const float *sums, int Sq, int H, int D) {
  for (int h = blockIdx.y; h < H; h += gridDim.y)
    for (int z = blockIdx.z; z * 4 < Sq; z += gridDim.z)
      qz_cuda_blocked_merge(out, partial, maxima, sums, Sq, H, D, blockIdx.x, h,
                            z * 4 + threadIdx.y);
}

qz_status_t qz_ypu_cuda_attention_blocked_f32(void *device, void *, const void *params) {
  const auto &p = *static_cast<const qz_ypu_attention_blocked_f32_params_t *>(params);
  if (!qz_ypu_attention_heads_valid(p.num_heads, p.num_kv_heads)) return QZ_STATUS_INVALID_ARGUMENT;
  const int32_t B = p.batch_size, Sq = p.query_size, H = p.num_heads, D = p.head_dim;
  const int32_t G4 = (Sq + 3) / 4;
  const int64_t rows = int64_t{B} * Sq * H * QZ_CUDA_SPLITS * 4;
  const int64_t sizes[3] = {rows * D, rows, rows};
  qz_ypu_buffer_t *temporaries[3] = {};
  for (int i = 0; i < 3; ++i) {
    temporaries[i] = qz_cuda_attention_temporary(device, sizes[i]);
    if (!temporaries[i]) {
      for (int j = 0; j < i; ++j) qz_ypu_cuda_buffer_free(device, temporaries[j]);
      return QZ_STATUS_OUT_OF_MEMORY;
    }
  }
  float *partial = qz_ypu_cuda_operand<float>(temporaries[0]);
  float *maxima = qz_ypu_cuda_operand<float>(temporaries[1]);
  float *sums = qz_ypu_cuda_operand<float>(temporaries[2]);
  // Heads and row groups past the grid's 65,535 are walked by the kernels.
  const qz_cuda_dim3_t splits{static_cast<uint32_t>(B), qz_cuda_grid_y(device, H),
                              qz_cuda_grid_z(device, QZ_CUDA_SPLITS * G4)};
  qz_cuda_launch(taabe212, splits, {32, 4}, maxima, sums, Sq, H, G4);
  qz_status_t status = qz_ypu_cuda_launch_status();
  if (status == QZ_STATUS_SUCCESS) {
    // The four rows' accumulators beside their scores while they fit in a
    // block's shared memory; a longer head keeps them in its partial rows.
    const size_t with_acc = (4 * static_cast<size_t>(D) + 1024) * 4;
    const bool shared_acc =
        with_acc <= static_cast<size_t>(qz_ypu_cuda_shared_mem_per_block(
                        static_cast<const qz_ypu_cuda_device_t *>(device)));
    qz_cuda_launch_on(taabe120, splits, {32, 4}, shared_acc ? with_acc : 1024 * 4, nullptr,
                      partial, qz_ypu_cuda_operand<const float>(p.query),
                      qz_ypu_cuda_operand<const float>(p.key),
                      qz_ypu_cuda_operand<const float>(p.value), maxima, sums, Sq,
                      p.key_value_size, H, p.num_kv_heads, H / p.num_kv_heads, D, G4,
                      qz_ypu_attention_scale(D), shared_acc ? 1 : 0);
    status = qz_ypu_cuda_launch_status();
  }
  if (status == QZ_STATUS_SUCCESS) {
    qz_cuda_launch(taabe230,
                   {static_cast<uint32_t>(B), qz_cuda_grid_y(device, H), qz_cuda_grid_z(device, G4)},
                   {32, 4}, qz_ypu_cuda_operand<float>(p.output),
                   static_cast<const float *>(partial), static_cast<const float *>(maxima),
                   static_cast<const float *>(sums), Sq, H, D);
    status = qz_ypu_cuda_launch_status();
  }
  for (qz_ypu_buffer_t *t : temporaries) qz_ypu_cuda_buffer_free(device, t);
  return status;
}
#endif

// ---------------------------------------------------------------------------
// Ops 71, 72: scores; ops 69, 70: weighted values; op 66: the window mask.
//
// A launch holds at most 65,535 blocks in y and z and 1,024 threads: the
// kernels walk query rows, keys and heads past the grid in steps of it, the
// score kernels take 32 heads per block (a warp each) and every further
// head in steps of 32, and the value kernels at most 32 warps per row.

#if QZ_CUDA_BUILDS(ATTENTION_SCORES_F32) || QZ_CUDA_BUILDS(ATTENTION_SCORES_CACHE_U8)
namespace {
// The score kernels' block: a warp per head, at most 32 of them.
inline qz_cuda_dim3_t qz_cuda_scores_block(int32_t H) {
  return {32, static_cast<uint32_t>(H < 32 ? H : 32)};
}
}  // namespace
#endif

#if QZ_CUDA_BUILDS(ATTENTION_VALUES_F32) || QZ_CUDA_BUILDS(ATTENTION_VALUES_CACHE_U8)
namespace {
// The value kernels' block: a thread per element of the row, at most 1,024.
inline qz_cuda_dim3_t qz_cuda_values_block(int32_t D) {
  const int32_t warps = (D + 31) / 32;
  return {32, static_cast<uint32_t>(warps < 32 ? warps : 32)};
}
}  // namespace
#endif

#if QZ_CUDA_BUILDS(ATTENTION_SCORES_F32)
QZ_CUDA_KERNEL void QZ_CUDA_LAUNCH_BOUNDS(1024)
    taabe155(float *scores, const float *query, const float *key, int B, int Sq,
             int Skv, int H, int Q, int per_kv, int D, float scale) {
  (void)B;
  const int b = blockIdx.x;
  for (int q = blockIdx.y; q < Sq; q += gridDim.y)
    for (int k = blockIdx.z; k < Skv; k += gridDim.z)
      for (int h = threadIdx.y; h < H; h += blockDim.y) {
        const float dot =
            qz_cuda_warp_dot(query + ((static_cast<int64_t>(b) * Sq + q) * H + h) * D,
                             key + ((static_cast<int64_t>(b) * Skv + k) * Q + h / per_kv) * D, D);
        if (threadIdx.x == 0)
          scores[((static_cast<int64_t>(b) * H + h) * Sq + q) * Skv + k] = dot * scale;
      }
}

qz_status_t qz_ypu_cuda_attention_scores_f32(void *device, void *, const void *params) {
  const auto &p = *static_cast<const qz_ypu_attention_scores_f32_params_t *>(params);
  if (!qz_ypu_attention_heads_valid(p.num_heads, p.num_kv_heads)) return QZ_STATUS_INVALID_ARGUMENT;
  void (*kernel)(float *, const float *, const float *, int, int, int, int, int, int, int, float) =
      taabe155;
  qz_cuda_launch(kernel,
                 {static_cast<uint32_t>(p.batch_size), qz_cuda_grid_y(device, p.query_size),
                  qz_cuda_grid_z(device, p.key_value_size)},
                 qz_cuda_scores_block(p.num_heads), qz_ypu_cuda_operand<float>(p.scores),
                 qz_ypu_cuda_operand<const float>(p.query), qz_ypu_cuda_operand<const float>(p.key),
                 p.batch_size, p.query_size, p.key_value_size, p.num_heads, p.num_kv_heads,
                 p.num_heads / p.num_kv_heads, p.head_dim, qz_ypu_attention_scale(p.head_dim));
  return qz_ypu_cuda_launch_status();
}
#endif

#if QZ_CUDA_BUILDS(ATTENTION_SCORES_CACHE_U8)
QZ_CUDA_KERNEL void QZ_CUDA_LAUNCH_BOUNDS(1024)
    taabe155(const float *query, const unsigned char *key_codes,
             const float *key_pairs, float *scores, int B, int Sq, int Skv, int M,
             int H, int Q, int D, float scale) {
  (void)B;
  const int b = blockIdx.x;
  for (int q = blockIdx.y; q < Sq; q += gridDim.y)
    for (int k = blockIdx.z; k < Skv; k += gridDim.z)
      for (int h = threadIdx.y; h < H; h += blockDim.y) {
        const int64_t position = static_cast<int64_t>(b) * M + k;
        const unsigned char *codes = key_codes + (position * Q + h / (H / Q)) * D;
        const float slope = key_pairs[2 * position], intercept = key_pairs[2 * position + 1];
        const float *qrow = query + ((static_cast<int64_t>(b) * Sq + q) * H + h) * D;
        const float dot = qz_cuda_warp_dot_codes(qrow, codes, slope, intercept, D);
        if (threadIdx.x == 0)
          scores[((static_cast<int64_t>(b) * H + h) * Sq + q) * Skv + k] = dot * scale;
      }
}

qz_status_t qz_ypu_cuda_attention_scores_cache_u8(void *device, void *, const void *params) {
  const auto &p = *static_cast<const qz_ypu_attention_scores_cache_u8_params_t *>(params);
  if (!qz_ypu_attention_heads_valid(p.num_heads, p.num_kv_heads)) return QZ_STATUS_INVALID_ARGUMENT;
  // This module's kernel (the harness builds op 71's of the same name too).
  void (*kernel)(const float *, const unsigned char *, const float *, float *, int, int, int, int,
                 int, int, int, float) = taabe155;
  qz_cuda_launch(kernel,
                 {static_cast<uint32_t>(p.batch_size), qz_cuda_grid_y(device, p.query_size),
                  qz_cuda_grid_z(device, p.key_value_size)},
                 qz_cuda_scores_block(p.num_heads), qz_ypu_cuda_operand<const float>(p.query),
                 qz_ypu_cuda_operand<const unsigned char>(p.key),
                 qz_ypu_cuda_operand<const float>(p.key_metas), qz_ypu_cuda_operand<float>(p.scores),
                 p.batch_size, p.query_size, p.key_value_size, p.max_key_value_size, p.num_heads,
                 p.num_kv_heads, p.head_dim, qz_ypu_attention_scale(p.head_dim));
  return qz_ypu_cuda_launch_status();
}
#endif

#if QZ_CUDA_BUILDS(ATTENTION_VALUES_F32)
QZ_CUDA_KERNEL void QZ_CUDA_LAUNCH_BOUNDS(1024)
    taabe69(const float *probabilities, float *out, const float *value, int B,
            int Sq, int Skv, int H, int Q, int per_kv, int D) {
  (void)B;
  const int b = blockIdx.x;
  for (int h = blockIdx.y; h < H; h += gridDim.y)
    for (int q = blockIdx.z; q < Sq; q += gridDim.z) {
      const float *p = probabilities + ((static_cast<int64_t>(b) * H + h) * Sq + q) * Skv;
      const float *v = value + (static_cast<int64_t>(b) * Skv * Q + h / per_kv) * D;
      float *o = out + ((static_cast<int64_t>(b) * Sq + q) * H + h) * D;
      for (int d = threadIdx.y * 32 + threadIdx.x; d < D; d += 32 * blockDim.y) {
        float sum = 0.0f;
        for (int k = 0; k < Skv; ++k)
          sum = fmaf(p[k], v[static_cast<int64_t>(k) * Q * D + d], sum);
        o[d] = sum;
      }
    }
}

qz_status_t qz_ypu_cuda_attention_values_f32(void *device, void *, const void *params) {
  const auto &p = *static_cast<const qz_ypu_attention_values_f32_params_t *>(params);
  if (!qz_ypu_attention_heads_valid(p.num_heads, p.num_kv_heads)) return QZ_STATUS_INVALID_ARGUMENT;
  void (*kernel)(const float *, float *, const float *, int, int, int, int, int, int, int) =
      taabe69;
  qz_cuda_launch(kernel,
                 {static_cast<uint32_t>(p.batch_size), qz_cuda_grid_y(device, p.num_heads),
                  qz_cuda_grid_z(device, p.query_size)},
                 qz_cuda_values_block(p.head_dim), qz_ypu_cuda_operand<const float>(p.scores),
                 qz_ypu_cuda_operand<float>(p.output),
                 qz_ypu_cuda_operand<const float>(p.value), p.batch_size, p.query_size,
                 p.key_value_size, p.num_heads, p.num_kv_heads, p.num_heads / p.num_kv_heads,
                 p.head_dim);
  return qz_ypu_cuda_launch_status();
}
#endif

#if QZ_CUDA_BUILDS(ATTENTION_VALUES_CACHE_U8)
QZ_CUDA_KERNEL void QZ_CUDA_LAUNCH_BOUNDS(1024)
    taabe69(float *out, const unsigned char *value_codes,
            const float *value_pairs, const float *probabilities, int B, int Sq,
            int Skv, int M, int H, int Q, int D) {
  (void)B;
  const int b = blockIdx.x;
  for (int h = blockIdx.y; h < H; h += gridDim.y)
    for (int q = blockIdx.z; q < Sq; q += gridDim.z) {
      const int g = h / (H / Q);
      const float *p = probabilities + ((static_cast<int64_t>(b) * H + h) * Sq + q) * Skv;
      float *o = out + ((static_cast<int64_t>(b) * Sq + q) * H + h) * D;
      for (int d = threadIdx.y * 32 + threadIdx.x; d < D; d += 32 * blockDim.y) {
        float sum = 0.0f;
        for (int k = 0; k < Skv; ++k) {
          const int64_t position = static_cast<int64_t>(b) * M + k;
          const float element = fmaf(value_pairs[2 * position],
                                     static_cast<float>(value_codes[(position * Q + g) * D + d]),
                                     value_pairs[2 * position + 1]);
          sum = fmaf(p[k], element, sum);
        }
        o[d] = sum;
      }
    }
}

qz_status_t qz_ypu_cuda_attention_values_cache_u8(void *device, void *, const void *params) {
  const auto &p = *static_cast<const qz_ypu_attention_values_cache_u8_params_t *>(params);
  if (!qz_ypu_attention_heads_valid(p.num_heads, p.num_kv_heads)) return QZ_STATUS_INVALID_ARGUMENT;
  // This module's kernel (the harness builds op 69's of the same name too).
  void (*kernel)(float *, const unsigned char *, const float *, const float *, int, int, int, int,
                 int, int, int) = taabe69;
  qz_cuda_launch(kernel,
                 {static_cast<uint32_t>(p.batch_size), qz_cuda_grid_y(device, p.num_heads),
                  qz_cuda_grid_z(device, p.query_size)},
                 qz_cuda_values_block(p.head_dim), qz_ypu_cuda_operand<float>(p.output), qz_ypu_cuda_operand<const unsigned char>(p.value),
                 qz_ypu_cuda_operand<const float>(p.value_metas),
                 qz_ypu_cuda_operand<const float>(p.scores), p.batch_size, p.query_size,
                 p.key_value_size, p.max_key_value_size, p.num_heads, p.num_kv_heads, p.head_dim);
  return qz_ypu_cuda_launch_status();
}
#endif

#if QZ_CUDA_BUILDS(MASK_WINDOW_F32)
// Entries before the window's start and after its end become -infinity; a
// start beyond the row masks the row, not what follows it.
QZ_CUDA_KERNEL void taabe264(float *scores, const int *windows, int batches, int rows, int k) {
  (void)batches;
  const int b = blockIdx.x;
  // Rows past the grid's 65,535 in steps of it.
  for (int r = blockIdx.y; r < rows; r += gridDim.y) {
    const int start = windows[2 * r], end = windows[2 * r + 1];
    float *row = scores + (static_cast<int64_t>(b) * rows + r) * k;
    const int head = start < k ? start : k;
    for (int i = threadIdx.x; i < head; i += 256) row[i] = -INFINITY;
    const int64_t tail = end < 0 ? 0 : int64_t{end} + 1;
    for (int64_t i = tail + threadIdx.x; i < k; i += 256) row[i] = -INFINITY;
  }
}

qz_status_t qz_ypu_cuda_mask_window_f32(void *device, void *, const void *params) {
  const auto &p = *static_cast<const qz_ypu_mask_window_f32_params_t *>(params);
  qz_cuda_launch(taabe264, {static_cast<uint32_t>(p.batches), qz_cuda_grid_y(device, p.n)}, {256},
                 qz_ypu_cuda_operand<float>(p.scores), qz_ypu_cuda_operand<const int>(p.mask_indices),
                 p.batches, p.n, p.k);
  return qz_ypu_cuda_launch_status();
}
#endif

QZ_CUDA_END
