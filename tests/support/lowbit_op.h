// Running the low-bit operations on a CPU device whose instruction-set
// flags the test forces: buffers between guard bytes, op 94 on a freshly
// loaded weight, op 93 into an output pre-filled with NaN.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "support/lowbit_weight.h"
#include "ypu/params.h"
#include "ypu/ypu.h"

class lowbit_context {
 public:
  // cpu:threads with the given flags; host_only runs the host implementation.
  lowbit_context(int threads, bool host_only, uint32_t isa_flags = 0);
  ~lowbit_context();
  lowbit_context(const lowbit_context &) = delete;
  lowbit_context &operator=(const lowbit_context &) = delete;

  // A buffer holding `bytes` bytes after `lead` guard bytes, with guard bytes
  // after them.
  qz_ypu_buffer_t *buffer(const void *data, int32_t bytes, int32_t lead = 0);
  template <class T>
  qz_ypu_buffer_t *buffer(const std::vector<T> &v, int32_t lead = 0) {
    return buffer(v.data(), int32_t(v.size() * sizeof(T)), lead);
  }
  std::vector<uint8_t> bytes(qz_ypu_buffer_t *b);
  qz_status_t run(uint32_t op, const void *params);

 private:
  qz_ypu_context_t *context_ = nullptr;
  std::vector<qz_ypu_buffer_t *> buffers_;
};

// Op 93's record for `w` (no input, output or token count yet), its perm,
// scales and tiles in buffers made by make(vector) on any context.
template <class Make>
qz_ypu_linear_lowbit_params_t lowbit_params(const lowbit_weight &w, Make make) {
  qz_ypu_linear_lowbit_params_t p{};
  p.perm = make(w.perm);
  p.scales = make(w.scales);
  p.tiles = make(w.tiles);
  p.row_blocks = w.row_blocks;
  for (int b = 0; b < 8; ++b) p.width_counts[b] = w.counts[b];
  return p;
}

// Op 94's record for the weight of an op 93 record.
qz_ypu_repack_lowbit_params_t lowbit_repack_params(const qz_ypu_linear_lowbit_params_t &p);

// The weight's tiles as the CPU baseline repack leaves them (the bit planes
// the GPU backends' repacks must give).
std::vector<uint8_t> lowbit_baseline_tiles(const lowbit_weight &w);

// Loads the weight and runs op 94 on it.
qz_ypu_linear_lowbit_params_t lowbit_load(lowbit_context &c, const lowbit_weight &w);

// op 93 on the first n token rows of x (`rows` outputs each); the guard
// bytes around the output are checked.
std::vector<float> lowbit_linear(lowbit_context &c, qz_ypu_linear_lowbit_params_t p,
                                 const std::vector<float> &x, int32_t rows, int32_t n,
                                 qz_status_t want = QZ_STATUS_SUCCESS);

// lowbit_load, then lowbit_linear on the n token rows of x.
std::vector<float> lowbit_run(lowbit_context &c, const lowbit_weight &w,
                              const std::vector<float> &x, int32_t n);

// Whether two outputs hold the same bits (NaN included).
bool lowbit_same_bytes(const std::vector<float> &a, const std::vector<float> &b);
