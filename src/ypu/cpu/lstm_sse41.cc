// LSTM cell over one chunk, 8 units per step with 128-bit integer
// operations; the `_any` form finishes the last n % 8 units one at a time.
#include <smmintrin.h>

#include "ypu/cpu/fixed_kernels.h"

namespace {

using sigmoid_fn = void (*)(int32_t, const int16_t *, int16_t *);

__m128i load(const int16_t *p) { return _mm_loadu_si128(reinterpret_cast<const __m128i *>(p)); }
void store(int16_t *p, __m128i v) { _mm_storeu_si128(reinterpret_cast<__m128i *>(p), v); }
__m128i low32(__m128i v) { return _mm_cvtepi16_epi32(v); }
__m128i high32(__m128i v) { return _mm_cvtepi16_epi32(_mm_srli_si128(v, 8)); }

// tanh(in) into out: saturating doubling, the array sigmoid, 2s - 32768.
void tanh_chunk(int32_t n, const int16_t *in, int16_t *out, sigmoid_fn sigmoid) {
  int32_t i = 0;
  for (; n - i >= 8; i += 8) {
    const __m128i x = load(in + i);
    store(out + i, _mm_adds_epi16(x, x));
  }
  for (; i < n; ++i) out[i] = qz_ypu_cpu_sat16(2 * int32_t{in[i]});
  sigmoid(n, out, out);
  const __m128i half = _mm_set1_epi32(32768);
  for (i = 0; n - i >= 8; i += 8) {
    const __m128i s = load(out + i);
    const __m128i a = _mm_sub_epi32(_mm_slli_epi32(low32(s), 1), half);
    const __m128i b = _mm_sub_epi32(_mm_slli_epi32(high32(s), 1), half);
    store(out + i, _mm_packs_epi32(a, b));
  }
  for (; i < n; ++i) out[i] = qz_ypu_cpu_sat16(2 * int32_t{out[i]} - 32768);
}

__m128i state_half(__m128i s, __m128i g, __m128i c) {
  const __m128i kept = _mm_srai_epi32(
      _mm_add_epi32(_mm_mullo_epi32(s, _mm_sub_epi32(_mm_set1_epi32(32767), g)),
                    _mm_set1_epi32(16384)),
      15);
  const __m128i added =
      _mm_srai_epi32(_mm_add_epi32(_mm_mullo_epi32(g, c), _mm_set1_epi32(524288)), 20);
  return _mm_add_epi32(kept, added);
}

__m128i out_half(__m128i t, __m128i g) {
  return _mm_srai_epi32(_mm_add_epi32(_mm_mullo_epi32(t, g), _mm_set1_epi32(524288)), 20);
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
  for (; n - u >= 8; u += 8) {
    const __m128i s = load(state + u), g = load(input + u), k = load(candidate + u);
    // The signed saturating pack is the sat16 of the sum.
    store(state + u, _mm_packs_epi32(state_half(low32(s), low32(g), low32(k)),
                                     state_half(high32(s), high32(g), high32(k))));
  }
  for (; u < n; ++u) state[u] = qz_ypu_cpu_lstm_state(state[u], input[u], candidate[u]);
  tanh_chunk(n, state, input, sigmoid);
  for (u = 0; n - u >= 8; u += 8) {
    const __m128i t = load(input + u), g = load(output + u);
    // Results lie within [-1023, 1023], so the pack never saturates.
    store(out + u, _mm_packs_epi32(out_half(low32(t), low32(g)), out_half(high32(t), high32(g))));
  }
  for (; u < n; ++u) out[u] = qz_ypu_cpu_lstm_out(input[u], output[u]);
}

}  // namespace

void qz_ypu_cpu_lstm_cell_i16_sse41(const qz_ypu_cpu_lstm_context_t *context, int64_t begin,
                                    int64_t end) {
  lstm_chunk(context, begin, end, qz_ypu_cpu_sigmoid_i16_sse41_blocks);
}

void qz_ypu_cpu_lstm_cell_i16_sse41_any(const qz_ypu_cpu_lstm_context_t *context, int64_t begin,
                                        int64_t end) {
  lstm_chunk(context, begin, end, qz_ypu_cpu_sigmoid_i16_sse41);
}
