// CPU entries of attention over quantised ring caches (uint8 and uint16
// codes), their plain score and value kernels and the row softmax. The
// visible positions of a row are one or two runs of consecutive ring rows;
// the kernels walk them in position order, so the values are added in the
// host's order and only the score sums of the vector kernels and the
// softmax's division differ from the host.
#include <cmath>

#include "ypu/cpu/attention.h"
#include "ypu/cpu/frame.h"
#include "ypu/cpu/ops.h"
#include "ypu/table_exp.h"
#include "ypu/params.h"

namespace {

using context_t = qz_ypu_cpu_attention_kv_context_t;

// Score and weight rows up to this length live on the task's stack; longer
// windows take two rows per thread from the entry's scratch.
constexpr int32_t STACK_ROW = 2048;

template <class Code>
void scores_generic(const float *query, int32_t head_dimension, const Code *codes,
                    const float *intercepts, const float *slopes, int32_t rows, float scale,
                    float *out) {
  // Dimension outermost: each row's sum still runs in dimension order.
  for (int32_t d = 0; d < head_dimension; ++d)
    for (int32_t r = 0; r < rows; ++r)
      out[r] +=
          (static_cast<float>(codes[int64_t{r} * head_dimension + d]) * slopes[r] + intercepts[r]) *
          query[d];
  for (int32_t r = 0; r < rows; ++r) out[r] *= scale;
}

template <class Code>
void values_generic(const Code *codes, const float *intercepts, const float *slopes, int32_t rows,
                    int32_t head_dimension, const float *weights, float *output) {
  for (int32_t r = 0; r < rows; ++r) {
    const Code *row = codes + int64_t{r} * head_dimension;
    for (int32_t d = 0; d < head_dimension; ++d)
      output[d] += (static_cast<float>(row[d]) * slopes[r] + intercepts[r]) * weights[r];
  }
}

template <class Code>
struct kernels_t {
  void (*scores)(const float *, int32_t, const Code *, const float *, const float *, int32_t, float,
                 float *);
  void (*values)(const Code *, const float *, const float *, int32_t, int32_t, const float *,
                 float *);
};

kernels_t<uint8_t> choose(uint32_t isa_flags, const uint8_t *) {
  if (qz_ypu_cpu_has(isa_flags, QZ_YPU_CPU_ISA_AVX2))
    return {QZ_YPU_CPU_X86(qz_ypu_cpu_attention_kv_u8_scores_avx2),
            QZ_YPU_CPU_X86(qz_ypu_cpu_attention_kv_u8_values_avx2)};
  if (qz_ypu_cpu_has(isa_flags, QZ_YPU_CPU_ISA_AVX))
    return {QZ_YPU_CPU_X86(qz_ypu_cpu_attention_kv_u8_scores_avx),
            QZ_YPU_CPU_X86(qz_ypu_cpu_attention_kv_u8_values_avx)};
  if (qz_ypu_cpu_has(isa_flags, QZ_YPU_CPU_ISA_NEON_MASK))
    return {QZ_YPU_CPU_ARM64(qz_ypu_cpu_attention_kv_u8_scores_neon),
            QZ_YPU_CPU_ARM64(qz_ypu_cpu_attention_kv_u8_values_neon)};
  return {qz_ypu_cpu_attention_kv_u8_scores_generic, qz_ypu_cpu_attention_kv_u8_values_generic};
}
kernels_t<uint16_t> choose(uint32_t isa_flags, const uint16_t *) {
  if (qz_ypu_cpu_has(isa_flags, QZ_YPU_CPU_ISA_AVX2))
    return {QZ_YPU_CPU_X86(qz_ypu_cpu_attention_kv_u16_scores_avx2),
            QZ_YPU_CPU_X86(qz_ypu_cpu_attention_kv_u16_values_avx2)};
  if (qz_ypu_cpu_has(isa_flags, QZ_YPU_CPU_ISA_AVX))
    return {QZ_YPU_CPU_X86(qz_ypu_cpu_attention_kv_u16_scores_avx),
            QZ_YPU_CPU_X86(qz_ypu_cpu_attention_kv_u16_values_avx)};
  if (qz_ypu_cpu_has(isa_flags, QZ_YPU_CPU_ISA_NEON_MASK))
    return {QZ_YPU_CPU_ARM64(qz_ypu_cpu_attention_kv_u16_scores_neon),
            QZ_YPU_CPU_ARM64(qz_ypu_cpu_attention_kv_u16_values_neon)};
  return {qz_ypu_cpu_attention_kv_u16_scores_generic, qz_ypu_cpu_attention_kv_u16_values_generic};
}

// One new row q of head h: scores, softmax, weighted values.
template <class Code>
void attend(const context_t &c, const kernels_t<Code> &k, int32_t h, int64_t q, float *s,
            float *w) {
  const int64_t window = c.window_length;
  const int64_t last = int64_t{c.position} + q;
  const int64_t first = last + 1 - window > 0 ? last + 1 - window : 0;
  const int64_t count = last - first + 1;
  if (count < 1) return;  // a row before the sequence start sees nothing: stays 0
  const int64_t g = h / (c.num_heads / c.num_kv_heads);
  const int64_t base = g * window;
  const int64_t dim = c.head_dimension;
  const auto *keys = static_cast<const Code *>(c.keys);
  const auto *values = static_cast<const Code *>(c.values);
  const float *query = c.query + (int64_t{h} * c.num_queries + q) * dim;
  float *output = c.output + (q * c.num_heads + h) * dim;

  // The visible ring rows: a .. b, or a .. window - 1 then 0 .. b.
  const int64_t a = first % window, b = last % window;
  const int64_t run1 = b >= a ? b - a + 1 : window - a;
  const int64_t run2 = b >= a ? 0 : b + 1;
  for (int64_t r = 0; r < count; ++r) s[r] = 0.0f;
  const auto n1 = static_cast<int32_t>(run1), n2 = static_cast<int32_t>(run2);
  const auto d32 = static_cast<int32_t>(dim);
  k.scores(query, d32, keys + (base + a) * dim, c.key_intercepts + base + a,
           c.key_slopes + base + a, n1, c.scale, s);
  if (n2 > 0)
    k.scores(query, d32, keys + base * dim, c.key_intercepts + base, c.key_slopes + base, n2,
             c.scale, s + run1);
  qz_ypu_cpu_softmax_row(s, static_cast<int32_t>(count), w);
  k.values(values + (base + a) * dim, c.value_intercepts + base + a, c.value_slopes + base + a, n1,
           d32, w, output);
  if (n2 > 0)
    k.values(values + base * dim, c.value_intercepts + base, c.value_slopes + base, n2, d32,
             w + run1, output);
}

template <class Code>
void heads_rows(const context_t &c, int64_t i, int64_t j, float *s, float *w) {
  const kernels_t<Code> k = choose(c.isa_flags, static_cast<const Code *>(nullptr));
  const qz_ypu_cpu_range_t hs = qz_ypu_cpu_split(c.num_heads, c.head_groups, i);
  const qz_ypu_cpu_range_t rs = qz_ypu_cpu_split(c.num_queries, c.row_groups, j);
  for (int64_t h = hs.begin; h < hs.end; ++h)
    for (int64_t q = rs.begin; q < rs.end; ++q) attend(c, k, static_cast<int32_t>(h), q, s, w);
}

template <class Code>
void task(void *context, size_t i, size_t j) {
  const auto &c = *static_cast<const context_t *>(context);
  float s[STACK_ROW], w[STACK_ROW];
  heads_rows<Code>(c, static_cast<int64_t>(i), static_cast<int64_t>(j), s, w);
}

// Long windows: the same items, numbered i x nr + j, with rows per thread.
template <class Code>
void task_long(void *context, size_t thread, size_t item) {
  const auto &c = *static_cast<const context_t *>(context);
  float *s = c.rows + static_cast<int64_t>(thread) * 2 * c.window_length;
  const auto n = static_cast<int64_t>(item);
  heads_rows<Code>(c, n / c.row_groups, n % c.row_groups, s, s + c.window_length);
}

template <class Code>
qz_status_t attention_kv(void *device, const qz_ypu_attention_kv_params_t &p) {
  qz_ypu_cpu_device_t *dev = qz_ypu_cpu_device(device);
  if (p.num_queries < 1 || p.num_heads < 1) return QZ_STATUS_SUCCESS;
  // The host owns these refusals: a window or head grouping it cannot use,
  // a negative head size, and a score scratch too large for the buffer
  // cache (it reports running out of memory).
  if (p.window_length < 1 || !qz_ypu_attention_heads_valid(p.num_heads, p.num_kv_heads) ||
      p.head_dimension < 0)
    return QZ_YPU_CPU_DECLINE;
  const int64_t seen = qz_ypu_cpu_max(int64_t{p.position} + p.num_queries, p.window_length);
  if (seen * p.num_heads * 4 > INT32_MAX) return QZ_YPU_CPU_DECLINE;

  context_t c{.output = qz_ypu_cpu_operand<float>(p.output, 0),
              .query = qz_ypu_cpu_operand<const float>(p.query, 0),
              .keys = qz_ypu_cpu_operand<const Code>(p.keys, 0),
              .key_intercepts = qz_ypu_cpu_operand<const float>(p.key_intercepts, 0),
              .key_slopes = qz_ypu_cpu_operand<const float>(p.key_slopes, 0),
              .values = qz_ypu_cpu_operand<const Code>(p.values, 0),
              .value_intercepts = qz_ypu_cpu_operand<const float>(p.value_intercepts, 0),
              .value_slopes = qz_ypu_cpu_operand<const float>(p.value_slopes, 0),
              .num_queries = p.num_queries,
              .num_heads = p.num_heads,
              .num_kv_heads = p.num_kv_heads,
              .head_dimension = p.head_dimension,
              .position = p.position,
              .window_length = p.window_length,
              .scale = qz_ypu_attention_scale(p.head_dimension),
              .head_groups = qz_ypu_cpu_items(
                  dev, qz_ypu_cpu_min(p.num_heads, qz_ypu_cpu_squared(dev->threads))),
              .row_groups = qz_ypu_cpu_items(
                  dev, qz_ypu_cpu_min(p.num_queries, qz_ypu_cpu_squared(dev->threads))),
              .isa_flags = dev->isa_flags,
              .rows = nullptr};

  qz_ypu_cpu_scratch scratch;
  const bool long_window = p.window_length > STACK_ROW;
  if (long_window) {
    c.rows = scratch.get<float>(int64_t{dev->threads} * 2 * p.window_length);
    if (!c.rows) return QZ_STATUS_OUT_OF_MEMORY;
  }

  // The value kernels accumulate into the output.
  const int64_t total = int64_t{p.num_queries} * p.num_heads * p.head_dimension;
  for (int64_t n = 0; n < total; ++n) c.output[n] = 0.0f;

  if (long_window)
    qz_ypu_cpu_run_1d_with_thread(dev, task_long<Code>, &c, c.head_groups * c.row_groups);
  else
    qz_ypu_cpu_run_2d(dev, task<Code>, &c, c.head_groups, c.row_groups);
  return QZ_STATUS_SUCCESS;
}

}  // namespace

void qz_ypu_cpu_softmax_row(const float *in, int32_t count, float *out) {
  if (count < 1) return;
  float mx = in[0];
  for (int32_t k = 1; k < count; ++k)
    if (in[k] > mx) mx = in[k];
  float sum = 0.0f;
  for (int32_t k = 0; k < count; ++k) {
    out[k] = qz_ypu_build_expf(in[k] - mx);
    sum += out[k];
  }
  for (int32_t k = 0; k < count; ++k) out[k] /= sum;
}

void qz_ypu_cpu_attention_kv_u8_scores_generic(const float *query, int32_t head_dimension,
                                               const uint8_t *codes, const float *intercepts,
                                               const float *slopes, int32_t rows, float scale,
                                               float *out) {
  scores_generic(query, head_dimension, codes, intercepts, slopes, rows, scale, out);
}
void qz_ypu_cpu_attention_kv_u16_scores_generic(const float *query, int32_t head_dimension,
                                                const uint16_t *codes, const float *intercepts,
                                                const float *slopes, int32_t rows, float scale,
                                                float *out) {
  scores_generic(query, head_dimension, codes, intercepts, slopes, rows, scale, out);
}
void qz_ypu_cpu_attention_kv_u8_values_generic(const uint8_t *codes, const float *intercepts,
                                               const float *slopes, int32_t rows,
                                               int32_t head_dimension, const float *weights,
                                               float *output) {
  values_generic(codes, intercepts, slopes, rows, head_dimension, weights, output);
}
void qz_ypu_cpu_attention_kv_u16_values_generic(const uint16_t *codes, const float *intercepts,
                                                const float *slopes, int32_t rows,
                                                int32_t head_dimension, const float *weights,
                                                float *output) {
  values_generic(codes, intercepts, slopes, rows, head_dimension, weights, output);
}

qz_status_t qz_ypu_cpu_attention_kv_u8(void *device, void *, const void *params) {
  return attention_kv<uint8_t>(device,
                               *static_cast<const qz_ypu_attention_kv_u8_params_t *>(params));
}

qz_status_t qz_ypu_cpu_attention_kv_u16(void *device, void *, const void *params) {
  return attention_kv<uint16_t>(device,
                                *static_cast<const qz_ypu_attention_kv_u16_params_t *>(params));
}
