// LSTM cell over one chunk, 16 units per step with 256-bit integer
// operations; the `_any` form finishes the last n % 16 units one at a time.
#include <immintrin.h>

#include "ypu/cpu/fixed_kernels.h"

namespace {

using sigmoid_fn = void (*)(int32_t, const int16_t *, int16_t *);

__m256i load(const int16_t *p) { return _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p)); }
void store(int16_t *p, __m256i v) { _mm256_storeu_si256(reinterpret_cast<__m256i *>(p), v); }
__m256i low32(__m256i v) { return _mm256_cvtepi16_epi32(_mm256_castsi256_si128(v)); }
__m256i high32(__m256i v) { return _mm256_cvtepi16_epi32(_mm256_extracti128_si256(v, 1)); }
// The 256-bit pack interleaves the 128-bit halves of its operands; the
// permutation puts units 0-7 (from a) before units 8-15 (from b).
__m256i pack(__m256i a, __m256i b) {
  return _mm256_permute4x64_epi64(_mm256_packs_epi32(a, b), 0xD8);
}

// tanh(in) into out: saturating doubling, the array sigmoid, 2s - 32768.
void tanh_chunk(int32_t n, const int16_t *in, int16_t *out, sigmoid_fn sigmoid) {
  int32_t i = 0;
  for (; n - i >= 16; i += 16) {
    const __m256i x = load(in + i);
    store(out + i, _mm256_adds_epi16(x, x));
  }
  for (; i < n; ++i) out[i] = qz_ypu_cpu_sat16(2 * int32_t{in[i]});
  sigmoid(n, out, out);
  const __m256i half = _mm256_set1_epi32(32768);
  for (i = 0; n - i >= 16; i += 16) {
    const __m256i s = load(out + i);
    const __m256i a = _mm256_sub_epi32(_mm256_slli_epi32(low32(s), 1), half);
    const __m256i b = _mm256_sub_epi32(_mm256_slli_epi32(high32(s), 1), half);
    store(out + i, pack(a, b));
  }
  for (; i < n; ++i) out[i] = qz_ypu_cpu_sat16(2 * int32_t{out[i]} - 32768);
}

__m256i state_half(__m256i s, __m256i g, __m256i c) {
  const __m256i kept = _mm256_srai_epi32(
      _mm256_add_epi32(_mm256_mullo_epi32(s, _mm256_sub_epi32(_mm256_set1_epi32(32767), g)),
                    _mm256_set1_epi32(16384)),
      15);
  const __m256i added =
      _mm256_srai_epi32(_mm256_add_epi32(_mm256_mullo_epi32(g, c), _mm256_set1_epi32(524288)), 20);
  return _mm256_add_epi32(kept, added);
}

__m256i out_half(__m256i t, __m256i g) {
  return _mm256_srai_epi32(_mm256_add_epi32(_mm256_mullo_epi32(t, g), _mm256_set1_epi32(524288)), 20);
}

void lstm_chunk(const qz_ypu_cpu_lstm_context_t *c, int64_t begin, int64_t end,
                sigmoid_fn sigmoid) {
  const int64_t h = c->hidden;
  const auto n = static_cast<int32_t>(end - begin);
  int16_t *input = c->gates + begin;
  int16_t *candidate = c->gates + h + begin;
  int16_t *output = c->gates + 2 * h + begin;
  int16_t *state = c->state + begin;
  int16_t *out = c->out + begin;

  sigmoid(n, input, input);
  tanh_chunk(n, candidate, candidate, sigmoid);
  sigmoid(n, output, output);
  int32_t u = 0;
  for (; n - u >= 16; u += 16) {
    const __m256i s = load(state + u), g = load(input + u), k = load(candidate + u);
    // The signed saturating pack is the sat16 of the sum.
    store(state + u, pack(state_half(low32(s), low32(g), low32(k)),
                                     state_half(high32(s), high32(g), high32(k))));
  }
  for (; u < n; ++u) state[u] = qz_ypu_cpu_lstm_state(state[u], input[u], candidate[u]);
  tanh_chunk(n, state, input, sigmoid);
  for (u = 0; n - u >= 16; u += 16) {
    const __m256i t = load(input + u), g = load(output + u);
    // Results lie within [-1023, 1023], so the pack never saturates.
    store(out + u, pack(out_half(low32(t), low32(g)), out_half(high32(t), high32(g))));
  }
  for (; u < n; ++u) out[u] = qz_ypu_cpu_lstm_out(input[u], output[u]);
}

}  // namespace

void qz_ypu_cpu_lstm_cell_i16_avx2(const qz_ypu_cpu_lstm_context_t *context, int64_t begin,
                                    int64_t end) {
  lstm_chunk(context, begin, end, qz_ypu_cpu_sigmoid_i16_avx2_blocks);
}

void qz_ypu_cpu_lstm_cell_i16_avx2_any(const qz_ypu_cpu_lstm_context_t *context, int64_t begin,
                                        int64_t end) {
  lstm_chunk(context, begin, end, qz_ypu_cpu_sigmoid_i16_avx2);
}
