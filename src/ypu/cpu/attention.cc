// CPU entries of the attention products (scores and values over float keys
// and uint8 linear caches) and of the blocked online-softmax attention, with
// their plain tasks. The plain tasks run the host's own per-head loops, so
// they give the host's bits; the SSE4.1 and AVX2 tasks live in their files.
#include "ypu/cpu/attention.h"

#include <cmath>
#include <limits>

#include "ypu/cpu/frame.h"
#include "ypu/cpu/ops.h"
#include "ypu/table_exp.h"
#include "ypu/params.h"

namespace {

using context_t = qz_ypu_cpu_attention_context_t;

qz_ypu_attention_shape_t float_shape(int32_t b, int32_t q, int32_t k, int32_t h, int32_t g,
                                     int32_t d) {
  return {.batch_size = b, .query_size = q, .key_value_size = k, .max_key_value_size = k,
          .num_heads = h, .num_kv_heads = g, .head_dim = d};
}

using task_1d = void (*)(void *, size_t);
using task_2d = void (*)(void *, size_t, size_t);

// These products choose from the flags alone.
task_1d choose_1d(uint32_t isa_flags, task_1d avx2, task_1d sse41, task_1d neon, task_1d plain) {
  return qz_ypu_cpu_choose<task_1d>(isa_flags, 0, avx2, 1, sse41, 1, neon, 1, plain);
}
task_2d choose_2d(uint32_t isa_flags, task_2d avx2, task_2d sse41, task_2d neon, task_2d plain) {
  return qz_ypu_cpu_choose<task_2d>(isa_flags, 0, avx2, 1, sse41, 1, neon, 1, plain);
}

// Score and value products over float keys: one item per (batch entry,
// head), with or without a pool.
qz_status_t run_float(const qz_ypu_cpu_device_t *device, context_t &c, task_1d task) {
  qz_ypu_cpu_run_1d(device, task, &c,
                    int64_t{c.shape.batch_size} * c.shape.num_heads);
  return QZ_STATUS_SUCCESS;
}

// Products over caches: batch groups x head groups, min(B, T) x min(H, T).
qz_status_t run_cache(const qz_ypu_cpu_device_t *device, context_t &c, task_2d task) {
  c.batch_groups = qz_ypu_cpu_items(device, qz_ypu_cpu_min(c.shape.batch_size, device->threads));
  c.head_groups = qz_ypu_cpu_items(device, qz_ypu_cpu_min(c.shape.num_heads, device->threads));
  qz_ypu_cpu_run_2d(device, task, &c, c.batch_groups, c.head_groups);
  return QZ_STATUS_SUCCESS;
}

inline int64_t bqhd(const qz_ypu_attention_shape_t &s, int64_t b, int64_t q, int64_t h) {
  return ((b * s.query_size + q) * s.num_heads + h) * s.head_dim;
}

}  // namespace

// ---------------------------------------------------------------------------
// Plain tasks.

void qz_ypu_cpu_attention_scores_f32_task(void *context, size_t a) {
  const auto &c = *static_cast<const context_t *>(context);
  const int32_t heads = c.shape.num_heads;
  qz_ypu_attention_scores_f32_head(c.out, c.in, static_cast<const float *>(c.kv), c.shape,
                                   static_cast<int32_t>(a / heads),
                                   static_cast<int32_t>(a % heads), c.scale);
}

void qz_ypu_cpu_attention_values_f32_task(void *context, size_t a) {
  const auto &c = *static_cast<const context_t *>(context);
  const int32_t heads = c.shape.num_heads;
  qz_ypu_attention_values_f32_head(c.out, c.in, static_cast<const float *>(c.kv), c.shape,
                                   static_cast<int32_t>(a / heads),
                                   static_cast<int32_t>(a % heads));
}

void qz_ypu_cpu_attention_scores_cache_u8_task(void *context, size_t i, size_t j) {
  const auto &c = *static_cast<const context_t *>(context);
  const qz_ypu_cpu_range_t bs = qz_ypu_cpu_split(c.shape.batch_size, c.batch_groups, i);
  const qz_ypu_cpu_range_t hs = qz_ypu_cpu_split(c.shape.num_heads, c.head_groups, j);
  for (int64_t b = bs.begin; b < bs.end; ++b)
    for (int64_t h = hs.begin; h < hs.end; ++h)
      qz_ypu_attention_scores_cache_u8_head(c.out, c.in, static_cast<const uint8_t *>(c.kv),
                                            c.metas, c.shape, static_cast<int32_t>(b),
                                            static_cast<int32_t>(h), c.scale);
}

void qz_ypu_cpu_attention_values_cache_u8_task(void *context, size_t i, size_t j) {
  const auto &c = *static_cast<const context_t *>(context);
  const qz_ypu_cpu_range_t bs = qz_ypu_cpu_split(c.shape.batch_size, c.batch_groups, i);
  const qz_ypu_cpu_range_t hs = qz_ypu_cpu_split(c.shape.num_heads, c.head_groups, j);
  for (int64_t b = bs.begin; b < bs.end; ++b)
    for (int64_t h = hs.begin; h < hs.end; ++h)
      qz_ypu_attention_values_cache_u8_head(c.out, c.in, static_cast<const uint8_t *>(c.kv),
                                            c.metas, c.shape, static_cast<int32_t>(b),
                                            static_cast<int32_t>(h));
}

// ---------------------------------------------------------------------------
// Entries of the products. Each mirrors the host's conditions: where the
// host writes nothing the entry returns at once, and where the host refuses
// the head grouping (or would index with a negative head size) the entry
// declines, so the host reports it; either way before any output is written.

qz_status_t qz_ypu_cpu_attention_scores_f32(void *device, void *, const void *params) {
  const auto &p = *static_cast<const qz_ypu_attention_scores_f32_params_t *>(params);
  qz_ypu_cpu_device_t *dev = qz_ypu_cpu_device(device);
  const auto s = float_shape(p.batch_size, p.query_size, p.key_value_size, p.num_heads,
                             p.num_kv_heads, p.head_dim);
  if (s.batch_size < 1 || s.num_heads < 1 || s.query_size < 1 || s.key_value_size < 1)
    return QZ_STATUS_SUCCESS;
  if (!qz_ypu_attention_heads_valid(s.num_heads, s.num_kv_heads) || s.head_dim < 0)
    return QZ_YPU_CPU_DECLINE;
  context_t c{.out = qz_ypu_cpu_operand<float>(p.scores, 0),
              .in = qz_ypu_cpu_operand<const float>(p.query, 0),
              .kv = qz_ypu_cpu_operand<const float>(p.key, 0),
              .metas = nullptr,
              .shape = s,
              .scale = qz_ypu_attention_scale(s.head_dim),
              .batch_groups = 0,
              .head_groups = 0,
              .isa_flags = dev->isa_flags};
  return run_float(dev, c,
                   choose_1d(c.isa_flags, QZ_YPU_CPU_X86(qz_ypu_cpu_attention_scores_f32_avx2),
                             QZ_YPU_CPU_X86(qz_ypu_cpu_attention_scores_f32_sse41),
                             QZ_YPU_CPU_ARM64(qz_ypu_cpu_attention_scores_f32_neon),
                             qz_ypu_cpu_attention_scores_f32_task));
}

qz_status_t qz_ypu_cpu_attention_values_f32(void *device, void *, const void *params) {
  const auto &p = *static_cast<const qz_ypu_attention_values_f32_params_t *>(params);
  qz_ypu_cpu_device_t *dev = qz_ypu_cpu_device(device);
  auto s = float_shape(p.batch_size, p.query_size, p.key_value_size, p.num_heads,
                       p.num_kv_heads, p.head_dim);
  if (s.batch_size < 1 || s.num_heads < 1 || s.query_size < 1 || s.head_dim < 1)
    return QZ_STATUS_SUCCESS;
  if (!qz_ypu_attention_heads_valid(s.num_heads, s.num_kv_heads)) return QZ_YPU_CPU_DECLINE;
  // Without keys every output is the empty sum, 0.
  if (s.key_value_size < 0) s.key_value_size = s.max_key_value_size = 0;
  context_t c{.out = qz_ypu_cpu_operand<float>(p.output, 0),
              .in = qz_ypu_cpu_operand<const float>(p.scores, 0),
              .kv = qz_ypu_cpu_operand<const float>(p.value, 0),
              .metas = nullptr,
              .shape = s,
              .scale = 1.0f,
              .batch_groups = 0,
              .head_groups = 0,
              .isa_flags = dev->isa_flags};
  return run_float(dev, c,
                   choose_1d(c.isa_flags, QZ_YPU_CPU_X86(qz_ypu_cpu_attention_values_f32_avx2),
                             QZ_YPU_CPU_X86(qz_ypu_cpu_attention_values_f32_sse41),
                             QZ_YPU_CPU_ARM64(qz_ypu_cpu_attention_values_f32_neon),
                             qz_ypu_cpu_attention_values_f32_task));
}

qz_status_t qz_ypu_cpu_attention_scores_cache_u8(void *device, void *, const void *params) {
  const auto &p = *static_cast<const qz_ypu_attention_scores_cache_u8_params_t *>(params);
  qz_ypu_cpu_device_t *dev = qz_ypu_cpu_device(device);
  const qz_ypu_attention_shape_t s{
      .batch_size = p.batch_size, .query_size = p.query_size,
      .key_value_size = p.key_value_size, .max_key_value_size = p.max_key_value_size,
      .num_heads = p.num_heads, .num_kv_heads = p.num_kv_heads, .head_dim = p.head_dim};
  if (s.batch_size < 1 || s.query_size < 1 || s.key_value_size < 1 || s.num_heads < 1)
    return QZ_STATUS_SUCCESS;
  if (!qz_ypu_attention_heads_valid(s.num_heads, s.num_kv_heads) || s.head_dim < 0)
    return QZ_YPU_CPU_DECLINE;
  context_t c{.out = qz_ypu_cpu_operand<float>(p.scores, 0),
              .in = qz_ypu_cpu_operand<const float>(p.query, 0),
              .kv = qz_ypu_cpu_operand<const uint8_t>(p.key, 0),
              .metas = qz_ypu_cpu_operand<const float>(p.key_metas, 0),
              .shape = s,
              .scale = qz_ypu_attention_scale(s.head_dim),
              .batch_groups = 0,
              .head_groups = 0,
              .isa_flags = dev->isa_flags};
  return run_cache(dev, c,
                   choose_2d(c.isa_flags, QZ_YPU_CPU_X86(qz_ypu_cpu_attention_scores_cache_u8_avx2),
                             QZ_YPU_CPU_X86(qz_ypu_cpu_attention_scores_cache_u8_sse41),
                             QZ_YPU_CPU_ARM64(qz_ypu_cpu_attention_scores_cache_u8_neon),
                             qz_ypu_cpu_attention_scores_cache_u8_task));
}

qz_status_t qz_ypu_cpu_attention_values_cache_u8(void *device, void *, const void *params) {
  const auto &p = *static_cast<const qz_ypu_attention_values_cache_u8_params_t *>(params);
  qz_ypu_cpu_device_t *dev = qz_ypu_cpu_device(device);
  qz_ypu_attention_shape_t s{
      .batch_size = p.batch_size, .query_size = p.query_size,
      .key_value_size = p.key_value_size, .max_key_value_size = p.max_key_value_size,
      .num_heads = p.num_heads, .num_kv_heads = p.num_kv_heads, .head_dim = p.head_dim};
  if (s.batch_size < 1 || s.query_size < 1 || s.num_heads < 1 || s.head_dim < 1)
    return QZ_STATUS_SUCCESS;
  if (!qz_ypu_attention_heads_valid(s.num_heads, s.num_kv_heads)) return QZ_YPU_CPU_DECLINE;
  if (s.key_value_size < 0) s.key_value_size = 0;
  context_t c{.out = qz_ypu_cpu_operand<float>(p.output, 0),
              .in = qz_ypu_cpu_operand<const float>(p.scores, 0),
              .kv = qz_ypu_cpu_operand<const uint8_t>(p.value, 0),
              .metas = qz_ypu_cpu_operand<const float>(p.value_metas, 0),
              .shape = s,
              .scale = 1.0f,
              .batch_groups = 0,
              .head_groups = 0,
              .isa_flags = dev->isa_flags};
  return run_cache(dev, c,
                   choose_2d(c.isa_flags, QZ_YPU_CPU_X86(qz_ypu_cpu_attention_values_cache_u8_avx2),
                             QZ_YPU_CPU_X86(qz_ypu_cpu_attention_values_cache_u8_sse41),
                             QZ_YPU_CPU_ARM64(qz_ypu_cpu_attention_values_cache_u8_neon),
                             qz_ypu_cpu_attention_values_cache_u8_task));
}

// ---------------------------------------------------------------------------
// Blocked online-softmax attention.

void qz_ypu_cpu_attention_blocked_weights(float *tile, float *rows, int64_t row_stride,
                                          int32_t dim, float *maxima, float *sums) {
  for (int32_t i = 0; i < QZ_ATTENTION_BLOCK; ++i) {
    float *trow = tile + int64_t{i} * QZ_ATTENTION_BLOCK;
    float *out = rows + i * row_stride;
    float block_max = -std::numeric_limits<float>::infinity();
    for (int32_t j = 0; j < QZ_ATTENTION_BLOCK; ++j) block_max = fmaxf(block_max, trow[j]);
    const float m = fmaxf(maxima[i], block_max + QZ_ATTENTION_MAX_HEADROOM);
    const float r = qz_ypu_build_expf(maxima[i] - m);
    for (int32_t d = 0; d < dim; ++d) out[d] *= r;
    float sum = sums[i] * r;
    for (int32_t j = 0; j < QZ_ATTENTION_BLOCK; ++j) {
      const float w = trow[j] - m < QZ_ATTENTION_CUTOFF ? 0.0f : qz_ypu_build_expf(trow[j] - m);
      trow[j] = w;
      sum += w;
    }
    sums[i] = sum;
    maxima[i] = m;
  }
}

void qz_ypu_cpu_attention_blocked_f32_task(void *context, size_t i, size_t j) {
  const auto &c = *static_cast<const qz_ypu_cpu_attention_blocked_context_t *>(context);
  const qz_ypu_attention_shape_t &s = c.shape;
  float *tile = c.tiles + (static_cast<int64_t>(i) * c.head_groups + static_cast<int64_t>(j)) *
                              QZ_ATTENTION_BLOCK * QZ_ATTENTION_BLOCK;
  // The full-tile kernel by head size; partial tiles always take the host step.
  qz_ypu_cpu_attention_tile_fn full = qz_ypu_attention_blocked_step;
  if (qz_ypu_cpu_usable(c.isa_flags, QZ_YPU_CPU_ISA_AVX2, s.head_dim, 32))
    full = QZ_YPU_CPU_X86(qz_ypu_cpu_attention_blocked_f32_avx2);
  else if (qz_ypu_cpu_usable(c.isa_flags, QZ_YPU_CPU_ISA_SSE41, s.head_dim, 16))
    full = QZ_YPU_CPU_X86(qz_ypu_cpu_attention_blocked_f32_sse41);
  else if (qz_ypu_cpu_usable(c.isa_flags, QZ_YPU_CPU_ISA_NEON_MASK, s.head_dim, 16))
    full = QZ_YPU_CPU_ARM64(qz_ypu_cpu_attention_blocked_f32_neon);

  const int32_t q_per_kv = s.num_heads / s.num_kv_heads;
  const qz_ypu_cpu_range_t bs = qz_ypu_cpu_split(s.batch_size, c.batch_groups, i);
  const qz_ypu_cpu_range_t hs = qz_ypu_cpu_split(s.num_heads, c.head_groups, j);
  float maxima[QZ_ATTENTION_BLOCK];
  float sums[QZ_ATTENTION_BLOCK];
  for (int64_t b64 = bs.begin; b64 < bs.end; ++b64) {
    const auto b = static_cast<int32_t>(b64);
    for (int64_t h64 = hs.begin; h64 < hs.end; ++h64) {
      const auto h = static_cast<int32_t>(h64);
      for (int32_t q0 = 0; q0 < s.query_size; q0 += QZ_ATTENTION_BLOCK) {
        const int32_t queries = static_cast<int32_t>(
            qz_ypu_cpu_min(QZ_ATTENTION_BLOCK, int64_t{s.query_size} - q0));
        for (int32_t q = 0; q < queries; ++q) {
          maxima[q] = -std::numeric_limits<float>::infinity();
          sums[q] = 0.0f;
          float *out = c.output + bqhd(s, b, q0 + q, h);
          for (int32_t d = 0; d < s.head_dim; ++d) out[d] = 0.0f;
        }
        for (int32_t t0 = 0; t0 < s.key_value_size; t0 += QZ_ATTENTION_BLOCK) {
          const bool whole = queries == QZ_ATTENTION_BLOCK &&
                             int64_t{s.key_value_size} - t0 >= QZ_ATTENTION_BLOCK;
          (whole ? full : qz_ypu_attention_blocked_step)(c.output, c.query, c.key, c.value, tile,
                                                         maxima, sums, c.scale, b, q0, t0, h,
                                                         h / q_per_kv, s);
          if (int64_t{t0} + QZ_ATTENTION_BLOCK > s.key_value_size) break;
        }
        // Without keys the rows stay 0, as the host leaves them.
        if (s.key_value_size < 1) continue;
        for (int32_t q = 0; q < queries; ++q) {
          const float inv = 1.0f / sums[q];
          float *out = c.output + bqhd(s, b, q0 + q, h);
          for (int32_t d = 0; d < s.head_dim; ++d) out[d] *= inv;
        }
        if (int64_t{q0} + QZ_ATTENTION_BLOCK >= s.query_size) break;
      }
    }
  }
}

qz_status_t qz_ypu_cpu_attention_blocked_f32(void *device, void *, const void *params) {
  const auto &p = *static_cast<const qz_ypu_attention_blocked_f32_params_t *>(params);
  qz_ypu_cpu_device_t *dev = qz_ypu_cpu_device(device);
  const auto s = float_shape(p.batch_size, p.query_size, p.key_value_size, p.num_heads,
                             p.num_kv_heads, p.head_dim);
  // The host creates its tile before looking at the sizes and may fail for
  // want of memory; it also owns the refusals. Hand both cases to it.
  if (s.batch_size < 1 || s.num_heads < 1 || s.query_size < 1) return QZ_YPU_CPU_DECLINE;
  if (!qz_ypu_attention_heads_valid(s.num_heads, s.num_kv_heads) || s.head_dim < 0)
    return QZ_YPU_CPU_DECLINE;

  const int64_t batch_groups = qz_ypu_cpu_items(dev, qz_ypu_cpu_min(s.batch_size, dev->threads));
  const int64_t head_groups = qz_ypu_cpu_items(dev, qz_ypu_cpu_min(s.num_heads, dev->threads));
  // One tile per item actually run (not per batch entry and head), sized in
  // 64 bits.
  qz_ypu_cpu_scratch scratch;
  float *tiles = scratch.get<float>(batch_groups * head_groups * QZ_ATTENTION_BLOCK *
                                    QZ_ATTENTION_BLOCK);
  if (!tiles) return QZ_STATUS_OUT_OF_MEMORY;

  qz_ypu_cpu_attention_blocked_context_t c{.output = qz_ypu_cpu_operand<float>(p.output, 0),
                                           .query = qz_ypu_cpu_operand<const float>(p.query, 0),
                                           .key = qz_ypu_cpu_operand<const float>(p.key, 0),
                                           .value = qz_ypu_cpu_operand<const float>(p.value, 0),
                                           .tiles = tiles,
                                           .shape = s,
                                           .scale = qz_ypu_attention_scale(s.head_dim),
                                           .batch_groups = batch_groups,
                                           .head_groups = head_groups,
                                           .isa_flags = dev->isa_flags};
  qz_ypu_cpu_run_2d(dev, qz_ypu_cpu_attention_blocked_f32_task, &c, batch_groups, head_groups);
  return QZ_STATUS_SUCCESS;
}
