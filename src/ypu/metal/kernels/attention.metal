// Attention: over the ring caches of quantised keys and values (scores,
// softmax and weighted values per new query row), the pieces of the host's
// composite attentions (scores, window mask, weighted values over float or
// uint8 linear caches) and the fused blocked attention.

// --- ring caches ------------------------------------------------------------

// The cache row of key i (0 the oldest) of a window that starts at slot
// `start` and runs length1 slots to the ring's end, then from slot 0.
static inline long attention_ring_row(int kv, int window_length, int start, int length1, int i) {
  return long(window_length) * kv + (i < length1 ? start + i : i - length1);
}

// One SIMD group per (head, key): the dot product of the query row with the
// dequantised key, unscaled.
template <typename Code>
static inline void attention_ring_scores(device const float* query, device const Code* keys,
                                         device const float* key_intercepts,
                                         device const float* key_slopes, int n, int tq, int d_count,
                                         int num_heads, int num_kv_heads, int window_length,
                                         int start, int length1, int num_keys,
                                         device float* scores, uint2 group, uint lane,
                                         uint width) {
  const int h = int(group.x), i = int(group.y);
  const int kv = h / (num_heads / num_kv_heads);
  const long r = attention_ring_row(kv, window_length, start, length1, i);
  const float slope = key_slopes[r], intercept = key_intercepts[r];
  device const Code* code = keys + r * d_count;
  device const float* q = query + (long(h) * n + tq) * d_count;
  float partial = 0.0f;
  for (int d = int(lane); d < d_count; d += int(width))
    partial += (float(code[d]) * slope + intercept) * q[d];
  const float dot = simd_sum(partial);
  if (lane == 0) scores[long(h) * num_keys + i] = dot;
}

#define QZ_ATTENTION_RING_SCORES(name, Code)                                                     \
  kernel void name(device const float* query QZ_BUFFER(0), device const Code* keys QZ_BUFFER(1), \
                   device const float* key_intercepts QZ_BUFFER(2),                              \
                   device const float* key_slopes QZ_BUFFER(3), constant int& n QZ_BYTES(4),     \
                   constant int& tq QZ_BYTES(5), constant int& head_dimension QZ_BYTES(6),       \
                   constant int& num_heads QZ_BYTES(7), constant int& num_kv_heads QZ_BYTES(8),  \
                   constant int& window_length QZ_BYTES(9), constant int& start QZ_BYTES(10),    \
                   constant int& end QZ_BYTES(11), constant float& norm QZ_BYTES(12),            \
                   constant int& length1 QZ_BYTES(13), constant int& length2 QZ_BYTES(14),       \
                   constant int& num_keys QZ_BYTES(15), device float* scores QZ_BUFFER(16),      \
                   uint2 group QZ_THREADGROUP_POSITION_IN_GRID,                                  \
                   uint lane QZ_THREAD_INDEX_IN_SIMDGROUP, uint width QZ_THREADS_PER_SIMDGROUP) { \
    attention_ring_scores<Code>(query, keys, key_intercepts, key_slopes, n, tq, head_dimension,  \
                                num_heads, num_kv_heads, window_length, start, length1,         \
                                num_keys, scores, group, lane, width);                          \
  }                                                                                              \
  QZ_REGISTER(name)
QZ_ATTENTION_RING_SCORES(taabe13, uchar)
QZ_ATTENTION_RING_SCORES(taabe189, ushort)
#undef QZ_ATTENTION_RING_SCORES

// Combines one value per thread across a threadgroup of several SIMD
// groups: each group's result goes through sdata, and every group then
// folds all of them (as many as there are, whatever the SIMD width).
// Called by every thread of the threadgroup. The fold starts from the
// group's own maximum, one of the values folded, so no lane holds a
// stand-in (an infinity would be undefined under fast math).
static inline float attention_group_max(float v, threadgroup float* sdata, uint lane, uint group,
                                        uint width, uint groups) {
  float m = simd_max(v);
  if (groups > 1) {
    threadgroup_barrier(mem_flags::mem_threadgroup);
    if (lane == 0) sdata[group] = m;
    threadgroup_barrier(mem_flags::mem_threadgroup);
    float f = m;
    for (uint i = lane; i < groups; i += width) f = max(f, sdata[i]);
    m = simd_max(f);
  }
  threadgroup_barrier(mem_flags::mem_threadgroup);
  return m;
}

static inline float attention_group_sum(float v, threadgroup float* sdata, uint lane, uint group,
                                        uint width, uint groups) {
  float s = simd_sum(v);
  if (groups > 1) {
    threadgroup_barrier(mem_flags::mem_threadgroup);
    if (lane == 0) sdata[group] = s;
    threadgroup_barrier(mem_flags::mem_threadgroup);
    float f = 0.0f;
    for (uint i = lane; i < groups; i += width) f += sdata[i];
    s = simd_sum(f);
  }
  threadgroup_barrier(mem_flags::mem_threadgroup);
  return s;
}

// Softmax of norm times each head's row of cnt scores, in place; one
// threadgroup per head, threads striding over the row.
static inline void attention_ring_softmax(device float* input, float norm, int cnt,
                                          threadgroup float* sdata, uint h, uint t, uint size,
                                          uint lane, uint group, uint width, uint groups) {
  device float* row = input + long(h) * cnt;
  float m = norm * row[0];
  if (int(t) < cnt)
    for (int i = int(t); i < cnt; i += int(size)) {
      row[i] = norm * row[i];
      m = max(m, row[i]);
    }
  m = attention_group_max(m, sdata, lane, group, width, groups);
  float s = 0.0f;
  if (int(t) < cnt)
    for (int i = int(t); i < cnt; i += int(size)) {
      const float e = exp(row[i] - m);
      row[i] = e;
      s += e;
    }
  s = attention_group_sum(s, sdata, lane, group, width, groups);
  const float inv = 1.0f / s;
  if (int(t) < cnt)
    for (int i = int(t); i < cnt; i += int(size)) row[i] = row[i] * inv;
}

#define QZ_ATTENTION_RING_SOFTMAX(name)                                                          \
  kernel void name(device float* input QZ_BUFFER(0), constant float& norm QZ_BYTES(1),           \
                   constant int& n QZ_BYTES(2), threadgroup float* sdata QZ_THREADGROUP(0),      \
                   uint h QZ_THREADGROUP_POSITION_IN_GRID, uint t QZ_THREAD_INDEX_IN_THREADGROUP, \
                   uint size QZ_THREADS_PER_THREADGROUP, uint lane QZ_THREAD_INDEX_IN_SIMDGROUP, \
                   uint group QZ_SIMDGROUP_INDEX_IN_THREADGROUP,                                 \
                   uint width QZ_THREADS_PER_SIMDGROUP,                                          \
                   uint groups QZ_SIMDGROUPS_PER_THREADGROUP) {                                  \
    attention_ring_softmax(input, norm, n, sdata, h, t, size, lane, group, width, groups);      \
  }                                                                                              \
  QZ_REGISTER(name)
QZ_ATTENTION_RING_SOFTMAX(taabe56)
QZ_ATTENTION_RING_SOFTMAX(taabe146)
#undef QZ_ATTENTION_RING_SOFTMAX

// One thread per output element of a head: the probabilities times the
// dequantised values, oldest key first.
template <typename Code>
static inline void attention_ring_values(device const Code* values,
                                         device const float* value_intercepts,
                                         device const float* value_slopes, int length1,
                                         int length2, int tq, int d_count, int num_heads,
                                         int num_kv_heads, int window_length, int start,
                                         device const float* scores, device float* output, uint h,
                                         uint t, uint size) {
  const int kv = int(h) / (num_heads / num_kv_heads);
  const int cnt = length1 + length2;
  device const float* p = scores + long(h) * cnt;
  for (int d = int(t); d < d_count; d += int(size)) {
    float sum = 0.0f;
    for (int i = 0; i < length1; ++i) {
      const long r = long(window_length) * kv + start + i;
      sum += (float(values[r * d_count + d]) * value_slopes[r] + value_intercepts[r]) * p[i];
    }
    for (int i = 0; i < length2; ++i) {
      const long r = long(window_length) * kv + i;
      sum += (float(values[r * d_count + d]) * value_slopes[r] + value_intercepts[r]) *
             p[length1 + i];
    }
    output[(long(tq) * num_heads + h) * d_count + d] = sum;
  }
}

#define QZ_ATTENTION_RING_VALUES(name, Code)                                                     \
  kernel void name(device const Code* values QZ_BUFFER(0),                                       \
                   device const float* value_intercepts QZ_BUFFER(1),                            \
                   device const float* value_slopes QZ_BUFFER(2), constant int& length1 QZ_BYTES(3), \
                   constant int& length2 QZ_BYTES(4), constant int& tq QZ_BYTES(5),              \
                   constant int& head_dimension QZ_BYTES(6), constant int& num_heads QZ_BYTES(7), \
                   constant int& num_kv_heads QZ_BYTES(8),                                       \
                   constant int& window_length QZ_BYTES(9), constant int& start QZ_BYTES(10),    \
                   constant int& end QZ_BYTES(11), device const float* scores_device QZ_BUFFER(12), \
                   device float* output QZ_BUFFER(13), uint h QZ_THREADGROUP_POSITION_IN_GRID,   \
                   uint t QZ_THREAD_INDEX_IN_THREADGROUP, uint size QZ_THREADS_PER_THREADGROUP) { \
    attention_ring_values<Code>(values, value_intercepts, value_slopes, length1, length2, tq,    \
                                head_dimension, num_heads, num_kv_heads, window_length, start,  \
                                scores_device, output, h, t, size);                             \
  }                                                                                              \
  QZ_REGISTER(name)
QZ_ATTENTION_RING_VALUES(taabe280, uchar)
QZ_ATTENTION_RING_VALUES(taabe72, ushort)
#undef QZ_ATTENTION_RING_VALUES

// --- pieces of the composite attentions ----------------------------------------

// Thread t of a one-dimensional grid: head fastest, then batch entry, query
// row and the last index (key or element).
struct attention_split {
  int h, b, q, last;
};

static inline attention_split attention_split_index(uint t, int heads, int batches, int queries,
                                                    int last_count) {
  attention_split s;
  s.h = int(t % uint(heads));
  s.b = int((t / uint(heads)) % uint(batches));
  s.q = int((t / uint(heads * batches)) % uint(queries));
  s.last = int((t / uint(heads * batches * queries)) % uint(last_count));
  return s;
}

// Scores over float keys, scaled by 1 / sqrt(D).
kernel void taabe233(constant int& batch_size QZ_BYTES(0), constant int& query_size QZ_BYTES(1),
                     constant int& key_value_size QZ_BYTES(2), constant int& num_heads QZ_BYTES(3),
                     constant int& num_kv_heads QZ_BYTES(4), constant int& q_per_kv QZ_BYTES(5),
                     constant int& head_dim QZ_BYTES(6), constant float& scale_factor QZ_BYTES(7),
                     device float* scores QZ_BUFFER(8), device const float* query QZ_BUFFER(9),
                     device const float* key QZ_BUFFER(10), uint2 gid QZ_THREAD_POSITION_IN_GRID) {
  const int H = num_heads, B = batch_size, Sq = query_size, Skv = key_value_size, D = head_dim;
  const attention_split s = attention_split_index(gid.y, H, B, Sq, Skv);
  const int kv = s.h / q_per_kv;
  device const float* q = query + ((long(s.b) * Sq + s.q) * H + s.h) * D;
  device const float* k = key + ((long(s.b) * Skv + s.last) * num_kv_heads + kv) * D;
  float dot = 0.0f;
  for (int d = 0; d < D; ++d) dot += q[d] * k[d];
  scores[((long(s.b) * H + s.h) * Sq + s.q) * Skv + s.last] = scale_factor * dot;
}
QZ_REGISTER(taabe233)

// Scores over the uint8 linear key cache, each row dequantised with its
// {scale, min} pair.
kernel void taabe163(constant int& batch_size QZ_BYTES(0), constant int& query_size QZ_BYTES(1),
                     constant int& key_value_size QZ_BYTES(2),
                     constant int& max_key_value_size QZ_BYTES(3),
                     constant int& num_heads QZ_BYTES(4), constant int& num_kv_heads QZ_BYTES(5),
                     constant int& q_per_kv QZ_BYTES(6), constant int& head_dim QZ_BYTES(7),
                     constant float& scale_factor QZ_BYTES(8), device float* scores QZ_BUFFER(9),
                     device const float* query QZ_BUFFER(10), device const uchar* key QZ_BUFFER(11),
                     device const float* key_metas QZ_BUFFER(12),
                     uint2 gid QZ_THREAD_POSITION_IN_GRID) {
  const int H = num_heads, B = batch_size, Sq = query_size, Skv = key_value_size, D = head_dim;
  const attention_split s = attention_split_index(gid.y, H, B, Sq, Skv);
  const int kv = s.h / q_per_kv;
  const long e = long(s.b) * max_key_value_size + s.last;
  const float sc = key_metas[2 * e], mn = key_metas[2 * e + 1];
  device const float* q = query + ((long(s.b) * Sq + s.q) * H + s.h) * D;
  device const uchar* k = key + (e * num_kv_heads + kv) * D;
  float dot = 0.0f;
  for (int d = 0; d < D; ++d) dot += (float(k[d]) * sc + mn) * q[d];
  scores[((long(s.b) * H + s.h) * Sq + s.q) * Skv + s.last] = dot * scale_factor;
}
QZ_REGISTER(taabe163)

// A weighted sum over the keys, or NaN when a weight was NaN (the softmax
// of a row that the window mask covered whole), as the host's sum gives;
// the NaN weights are left out of the arithmetic, which fast math would
// leave undefined.
static inline float attention_weighted_sum(float sum, bool undefined) {
  return undefined ? qz_metal_default_nan() : sum;
}

// Weighted sum of float values.
kernel void taabe62(constant int& batch_size QZ_BYTES(0), constant int& query_size QZ_BYTES(1),
                    constant int& key_value_size QZ_BYTES(2), constant int& num_heads QZ_BYTES(3),
                    constant int& num_kv_heads QZ_BYTES(4), constant int& q_per_kv QZ_BYTES(5),
                    constant int& head_dim QZ_BYTES(6), device const float* scores QZ_BUFFER(7),
                    device float* output QZ_BUFFER(8), device const float* value QZ_BUFFER(9),
                    uint2 gid QZ_THREAD_POSITION_IN_GRID) {
  const int H = num_heads, B = batch_size, Sq = query_size, Skv = key_value_size, D = head_dim;
  const attention_split s = attention_split_index(gid.y, H, B, Sq, D);
  const int kv = s.h / q_per_kv;
  device const float* p = scores + ((long(s.b) * H + s.h) * Sq + s.q) * Skv;
  float sum = 0.0f;
  bool undefined = false;
  for (int k = 0; k < Skv; ++k) {
    undefined = undefined || qz_metal_is_nan(p[k]);
    if (!undefined) sum += p[k] * value[((long(s.b) * Skv + k) * num_kv_heads + kv) * D + s.last];
  }
  output[((long(s.b) * Sq + s.q) * H + s.h) * D + s.last] =
      attention_weighted_sum(sum, undefined);
}
QZ_REGISTER(taabe62)

// Weighted sum over the uint8 linear value cache: a row of threads along
// the head dimension per (batch entry, head, query row).
kernel void taabe334(constant int& batch_size QZ_BYTES(0), constant int& query_size QZ_BYTES(1),
                     constant int& key_value_size QZ_BYTES(2),
                     constant int& max_key_value_size QZ_BYTES(3),
                     constant int& num_heads QZ_BYTES(4), constant int& num_kv_heads QZ_BYTES(5),
                     constant int& q_per_kv QZ_BYTES(6), constant int& head_dim QZ_BYTES(7),
                     device const float* scores QZ_BUFFER(8), device float* output QZ_BUFFER(9),
                     device const uchar* value QZ_BUFFER(10),
                     device const float* value_metas QZ_BUFFER(11),
                     uint3 gid QZ_THREAD_POSITION_IN_GRID, uint3 tg QZ_THREADS_PER_THREADGROUP) {
  const int H = num_heads, Sq = query_size, Skv = key_value_size, D = head_dim;
  const int z = int(gid.z);
  const int b = z / (H * Sq), h = (z % (H * Sq)) / Sq, q = z % Sq;
  // The grid is one threadgroup wide; its rows cover the head dimension, so
  // each element has exactly one thread.
  const int d = int(gid.x) + int(tg.x) * int(gid.y);
  if (d >= D) return;
  const int kv = h / q_per_kv;
  device const float* p = scores + ((long(b) * H + h) * Sq + q) * Skv;
  float sum = 0.0f;
  bool undefined = false;
  for (int s = 0; s < Skv; ++s) {
    const long e = long(b) * max_key_value_size + s;
    undefined = undefined || qz_metal_is_nan(p[s]);
    if (!undefined)
      sum += p[s] * (float(value[(e * num_kv_heads + kv) * D + d]) * value_metas[2 * e] +
                     value_metas[2 * e + 1]);
  }
  output[((long(b) * Sq + q) * H + h) * D + d] = attention_weighted_sum(sum, undefined);
}
QZ_REGISTER(taabe334)

// Window mask: entries before each row's start or after its end become
// minus infinity (stored from its bits: the softmax recognises it by them);
// 256 threads share a row. Starts beyond the row and ends before it are
// held to the row, so no entry outside it is touched.
kernel void taabe344(constant int& n QZ_BYTES(0), constant int& k_arg QZ_BYTES(1),
                     device float* scores QZ_BUFFER(2), device const int* mask_indices QZ_BUFFER(3),
                     uint2 gid QZ_THREAD_POSITION_IN_GRID) {
  const int k = k_arg;
  const int pair = int(gid.y % uint(n));
  const int start = min(mask_indices[2 * pair], k);
  const int after = max(mask_indices[2 * pair + 1], -1) + 1;
  device float* row = scores + long(gid.y) * k;
  const float masked = qz_metal_minus_infinity();
  for (int i = int(gid.x); i < start; i += 256) row[i] = masked;
  for (int i = after + int(gid.x); i < k; i += 256) row[i] = masked;
}
QZ_REGISTER(taabe344)

// e^u with the blocked attention's cut-offs: nothing below e^-20, the
// largest float above e^88.
static inline float attention_blocked_exp(float u) {
  if (u < -20.0f) return 0.0f;
  if (u > 88.0f) return 3.4028235e38f;
  return exp(u);
}

// Blocked attention with an online softmax: a threadgroup takes 32 query
// rows of one (batch entry, head), its SIMD groups sharing the rows, and
// streams the keys and values in chunks of 8. The accumulators of the 32
// rows live in `local` (32 x D floats). Each lane keeps the score of the key
// with its own index, so the scores need no memory.
kernel void taabe300(constant int& batch_size QZ_BYTES(0), constant int& query_size QZ_BYTES(1),
                     constant int& key_value_size QZ_BYTES(2), constant int& num_heads QZ_BYTES(3),
                     constant int& num_kv_heads QZ_BYTES(4), constant int& head_dim QZ_BYTES(5),
                     constant int& threadgroup_size QZ_BYTES(6), device float* output QZ_BUFFER(7),
                     device const float* query QZ_BUFFER(8), device const float* key QZ_BUFFER(9),
                     device const float* value QZ_BUFFER(10),
                     threadgroup float* local QZ_THREADGROUP(0),
                     uint3 group QZ_THREADGROUP_POSITION_IN_GRID,
                     uint lane QZ_THREAD_INDEX_IN_SIMDGROUP,
                     uint simd_group QZ_SIMDGROUP_INDEX_IN_THREADGROUP,
                     uint width QZ_THREADS_PER_SIMDGROUP) {
  qz_threadgroup float softmax_max[32];
  qz_threadgroup float softmax_denominator[32];
  const int H = num_heads, Q = num_kv_heads, D = head_dim, Sq = query_size,
            Skv = key_value_size, g = threadgroup_size;
  const int h = int(group.z) % H, b = int(group.z) / H;
  const int kv = h / (H / Q);
  const int q0 = 32 * int(group.y);
  const int rows = min(32, Sq - q0);
  const float root = sqrt(float(D));
  const int first_row = int(simd_group);
  const int step = int(width);

  for (int r = first_row; r < rows; r += g) {
    if (lane == 0) {
      softmax_max[r] = -3.4028235e38f;
      softmax_denominator[r] = 0.0f;
    }
    for (int d = int(lane); d < D; d += step) local[r * D + d] = 0.0f;
  }
  for (int s0 = 0; s0 < Skv; s0 += 8) {
    threadgroup_barrier(mem_flags::mem_threadgroup);
    const int cnt = min(8, Skv - s0);
    for (int r = first_row; r < rows; r += g) {
      device const float* q = query + ((long(b) * Sq + q0 + r) * H + h) * D;
      // Lanes past the chunk hold the lowest float, which cannot raise the
      // chunk's maximum (their weights are 0 below).
      float mine = -3.4028235e38f;
      for (int i = 0; i < cnt; ++i) {
        device const float* k = key + ((long(b) * Skv + s0 + i) * Q + kv) * D;
        float partial = 0.0f;
        for (int d = int(lane); d < D; d += step) partial += q[d] * k[d];
        const float dot = simd_sum(partial);
        if (int(lane) == i) mine = dot / root;
      }
      const float chunk_max = simd_max(mine);
      const float old_max = softmax_max[r];
      const float new_max = max(old_max, chunk_max + 2.0794415416798357f);
      const float alpha = attention_blocked_exp(old_max - new_max);
      const float p = int(lane) < cnt ? attention_blocked_exp(mine - new_max) : 0.0f;
      const float p_sum = simd_sum(p);
      for (int d = int(lane); d < D; d += step) local[r * D + d] *= alpha;
      for (int i = 0; i < cnt; ++i) {
        const float p_i = simd_broadcast(p, ushort(i));
        device const float* v = value + ((long(b) * Skv + s0 + i) * Q + kv) * D;
        for (int d = int(lane); d < D; d += step) local[r * D + d] += v[d] * p_i;
      }
      if (lane == 0) {
        softmax_denominator[r] = softmax_denominator[r] * alpha + p_sum;
        softmax_max[r] = new_max;
      }
    }
  }
  threadgroup_barrier(mem_flags::mem_threadgroup);
  // Without keys a row has no weights: it is the empty sum, 0.
  for (int r = first_row; r < rows; r += g) {
    device float* o = output + ((long(b) * Sq + q0 + r) * H + h) * D;
    const float denominator = softmax_denominator[r];
    for (int d = int(lane); d < D; d += step)
      o[d] = Skv > 0 ? local[r * D + d] / denominator : 0.0f;
  }
}
QZ_REGISTER(taabe300)
