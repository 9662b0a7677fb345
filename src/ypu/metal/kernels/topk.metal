// Per-row sorting of (index, value) pairs by value, descending, with the
// first k kept (and, for one kernel, replaced by their softmax).

struct ix_t {
  int index;
  float value;
};

// Whether value a sorts before value b: larger first, a NaN after every
// number.
static inline bool topk_before(float a, float b) {
  return !qz_metal_is_nan(a) && (qz_metal_is_nan(b) || a > b);
}

// One thread per row: a bubble sort that shrinks its range to the last
// swap; equal values (and NaNs among themselves) are never swapped, so they
// keep ascending index order.
static inline void topk_sort_row(int k, int length, device const float* y, device ix_t* ixs,
                                 device int* indices, device float* weights, uint r) {
  device ix_t* pairs = ixs + long(r) * length;
  device const float* x = y + long(r) * length;
  for (int i = 0; i < length; ++i) {
    pairs[i].index = i;
    pairs[i].value = x[i];
  }
  int bound = length;
  while (bound > 1) {
    int last = 0;
    for (int j = 1; j < bound; ++j) {
      if (topk_before(pairs[j].value, pairs[j - 1].value)) {
        const ix_t t = pairs[j - 1];
        pairs[j - 1] = pairs[j];
        pairs[j] = t;
        last = j;
      }
    }
    bound = last;
  }
  for (int i = 0; i < k; ++i) {
    indices[long(r) * k + i] = pairs[i].index;
    weights[long(r) * k + i] = pairs[i].value;
  }
}

kernel void taabe104(constant int& n QZ_BYTES(0), constant int& k QZ_BYTES(1),
                     constant int& num_experts QZ_BYTES(2), device const float* y QZ_BUFFER(3),
                     device ix_t* ixs_device QZ_BUFFER(4), device int* indices QZ_BUFFER(5),
                     device float* weights QZ_BUFFER(6), uint r QZ_THREAD_POSITION_IN_GRID) {
  topk_sort_row(k, num_experts, y, ixs_device, indices, weights, r);
}
QZ_REGISTER(taabe104)

kernel void taabe313(constant int& n QZ_BYTES(0), constant int& k_arg QZ_BYTES(1),
                     constant int& num_experts QZ_BYTES(2), device const float* y QZ_BUFFER(3),
                     device ix_t* ixs_device QZ_BUFFER(4), device int* indices QZ_BUFFER(5),
                     device float* weights QZ_BUFFER(6), uint r QZ_THREAD_POSITION_IN_GRID) {
  const int k = k_arg;
  topk_sort_row(k, num_experts, y, ixs_device, indices, weights, r);
  device float* w = weights + long(r) * k;
  // NaNs sort last, so the numbers come first. A kept NaN makes the host's
  // sum NaN and so every weight: each number's weight takes the first NaN,
  // each NaN stays itself, quieted as arithmetic quiets it. Made here from
  // the bits, since fast math leaves arithmetic on NaNs undefined.
  int numbers = 0;
  while (numbers < k && !qz_metal_is_nan(w[numbers])) ++numbers;
  if (numbers < k) {
    const uint first = as_type<uint>(w[numbers]) | 0x00400000u;
    for (int i = 0; i < k; ++i)
      w[i] = as_type<float>(i < numbers ? first : as_type<uint>(w[i]) | 0x00400000u);
    return;
  }
  float m = w[0];
  for (int i = 1; i < k; ++i) m = max(m, w[i]);
  float sum = 0.0f;
  for (int i = 0; i < k; ++i) {
    w[i] = exp(w[i] - m);
    sum += w[i];
  }
  const float inv = 1.0f / sum;
  for (int i = 0; i < k; ++i) w[i] = w[i] * inv;
}
QZ_REGISTER(taabe313)
