// Top-k selections: the k largest of one long row through a device-wide
// radix sort (the beam search's candidate pick), and the k largest of every
// row of a matrix, one thread per row, optionally with their softmax.
#include "ypu/cuda/kernel.h"

#if defined(__CUDACC__) && QZ_CUDA_BUILDS(TOPK_F32)
#include <cub/device/device_radix_sort.cuh>
#endif

QZ_CUDA_BEGIN

#if QZ_CUDA_BUILDS(TOPK_F32)
QZ_CUDA_KERNEL void taabe179(int *indices, int n) {
  const int i = blockIdx.x * 256 + threadIdx.x;
  if (i < n) indices[i] = i;
}

namespace {

// The stable descending sort of float keys with int values: the toolkit's
// radix sort on the GPU, the harness's stand-in with the same contract
// otherwise. A call without storage reports the storage size.
int qz_cuda_radix_sort_pairs_descending(void *storage, size_t *storage_bytes,
                                        const float *keys_in, float *keys_out,
                                        const int *values_in, int *values_out, int n) {
#if defined(__CUDACC__)
  return static_cast<int>(cub::DeviceRadixSort::SortPairsDescending(
      storage, *storage_bytes, keys_in, keys_out, values_in, values_out, n, 0, 32,
      static_cast<cudaStream_t>(nullptr)));
#else
  // The stand-in sorts on the host at once: the default stream's work ahead
  // of it (the positions it sorts) must have run, as it has on the GPU.
  if (storage) qz_ypu_cuda_runtime()->stream_synchronize(nullptr);
  return ::qz_gpu_harness::radix_sort_pairs_descending(storage, storage_bytes, keys_in, keys_out,
                                                       values_in, values_out, n);
#endif
}

}  // namespace

// The k largest of the n keys, descending (ties in input order), with their
// positions. Returns the first failing call's error (0: success); a failed
// allocation has pushed 0x339. Everything runs in order on the default
// stream, the temporaries included (the stream-ordered allocator: no
// allocation or release waits for the device, once per beam-search pick);
// every temporary is released on every path.
int qz_ypu_cuda_topk_sort_pairs(const qz_ypu_cuda_device_t *device, const float *keys_in, int n,
                                int k, float *values_out, int *indices_out) {
  const qz_ypu_cuda_runtime_t &rt = *qz_ypu_cuda_runtime();
  const size_t bytes = static_cast<size_t>(n) * 4;
  void *sorted_keys = nullptr, *input_indices = nullptr, *sorted_indices = nullptr,
       *storage = nullptr;
  int error = qz_ypu_cuda_alloc(device, &sorted_keys, bytes, nullptr);
  if (error == 0) error = qz_ypu_cuda_alloc(device, &input_indices, bytes, nullptr);
  if (error == 0) error = qz_ypu_cuda_alloc(device, &sorted_indices, bytes, nullptr);
  if (error != 0) qz_error_push_at("", 0, &QZ_YPU_CUDA_ERROR_ALLOC);
  if (error == 0) {
    qz_cuda_launch(taabe179, {qz_cuda_blocks_256(n)}, {256}, static_cast<int *>(input_indices),
                   n);
    size_t storage_bytes = 0;
    auto sort = [&] {
      return qz_cuda_radix_sort_pairs_descending(
          storage, &storage_bytes, keys_in, static_cast<float *>(sorted_keys),
          static_cast<const int *>(input_indices), static_cast<int *>(sorted_indices), n);
    };
    error = sort();
    if (error == 0) {
      error = qz_ypu_cuda_alloc(device, &storage, storage_bytes, nullptr);
      if (error != 0) qz_error_push_at("", 0, &QZ_YPU_CUDA_ERROR_ALLOC);
    }
    if (error == 0) error = sort();
    const size_t kept = static_cast<size_t>(k) * 4;
    if (error == 0)
      error = rt.memcpy_async(values_out, sorted_keys, kept, QZ_CUDA_DEVICE_TO_DEVICE, nullptr);
    if (error == 0)
      error = rt.memcpy_async(indices_out, sorted_indices, kept, QZ_CUDA_DEVICE_TO_DEVICE,
                              nullptr);
  }
  qz_ypu_cuda_free(device, sorted_keys, nullptr);
  qz_ypu_cuda_free(device, input_indices, nullptr);
  qz_ypu_cuda_free(device, sorted_indices, nullptr);
  qz_ypu_cuda_free(device, storage, nullptr);
  return error;
}

qz_status_t qz_ypu_cuda_topk_f32(void *device, void *, const void *params) {
  const auto &p = *static_cast<const qz_ypu_topk_f32_params_t *>(params);
  if (p.k == 0) return QZ_STATUS_SUCCESS;
  // The sorted arrays hold n entries: a k beyond them is the host's to serve
  // (it fills the tail), a negative k its to refuse.
  if (p.k < 0 || p.k > p.n) return QZ_STATUS_INVALID_ARGUMENT;
  const int error = qz_ypu_cuda_topk_sort_pairs(
      static_cast<const qz_ypu_cuda_device_t *>(device),
      qz_ypu_cuda_operand<const float>(p.in, p.in_offset), p.n, p.k,
      qz_ypu_cuda_operand<float>(p.values, p.values_offset),
      qz_ypu_cuda_operand<int>(p.indices, p.indices_offset));
  if (error != 0) {
    // The failure is this call's own, whether or not the runtime kept it.
    qz_ypu_cuda_fail(QZ_YPU_CUDA_ERROR_KERNEL);
    return QZ_STATUS_RUNTIME_ERROR;
  }
  return qz_ypu_cuda_launch_status();
}
#endif

#if QZ_CUDA_BUILDS(TOPK_SORT_F32) || QZ_CUDA_BUILDS(TOPK_SORT_SOFTMAX_F32)
namespace {

// The first k entries of the row as a stable descending bubble sort leaves
// them (swapping neighbours only when the left one is smaller), found
// without a copy of the row: a not-a-number never compares smaller nor
// larger, so it stays in its place and no value passes it; between two of
// them the values come out by decreasing value, equal values (+0 and -0
// included) in input order. Each kept entry is the largest one after the
// previous pick in that order, k passes over the segment in all.
__device__ void qz_cuda_top_of_row(const float *x, int len, int k, int *indices, float *values) {
  int first = 0, end = 0;  // the current segment
  int previous = -1;        // its last pick, none yet
  for (int i = 0; i < k; ++i) {
    if (x[i] != x[i]) {
      indices[i] = i;
      values[i] = x[i];
      previous = -1;
      continue;
    }
    if (previous < 0) {
      first = i;
      end = i;
      while (end < len && x[end] == x[end]) ++end;
    }
    int best = -1;
    float best_value = 0.0f;
    for (int j = first; j < end; ++j) {
      const float v = x[j];
      const bool after = previous < 0 || v < x[previous] || (v == x[previous] && j > previous);
      if (after && (best < 0 || v > best_value)) {
        best = j;
        best_value = v;
      }
    }
    indices[i] = best;
    values[i] = best_value;
    previous = best;
  }
}

}  // namespace
#endif

#if QZ_CUDA_BUILDS(TOPK_SORT_F32)
QZ_CUDA_KERNEL void taabe29(int rows, int k, int len, const float *in, int *indices,
                            float *values) {
  const int r = blockIdx.x * 256 + threadIdx.x;
  if (r >= rows) return;
  qz_cuda_top_of_row(in + static_cast<int64_t>(r) * len, len, k,
                     indices + static_cast<int64_t>(r) * k, values + static_cast<int64_t>(r) * k);
}
#endif

#if QZ_CUDA_BUILDS(TOPK_SORT_SOFTMAX_F32)
QZ_CUDA_KERNEL void taabe332(int rows, int k, int len, const float *in, int *indices,
                             float *values) {
  const int r = blockIdx.x * 256 + threadIdx.x;
  if (r >= rows) return;
  float *v = values + static_cast<int64_t>(r) * k;
  qz_cuda_top_of_row(in + static_cast<int64_t>(r) * len, len, k,
                     indices + static_cast<int64_t>(r) * k, v);
  if (k <= 0) return;
  float m = v[0];
  for (int i = 1; i < k; ++i)
    if (v[i] > m) m = v[i];
  float sum = 0.0f;
  for (int i = 0; i < k; ++i) {
    const float e = expf(v[i] - m);
    v[i] = e;
    sum = sum + e;
  }
  for (int i = 0; i < k; ++i) v[i] = v[i] / sum;
}
#endif

#if QZ_CUDA_BUILDS(TOPK_SORT_F32) || QZ_CUDA_BUILDS(TOPK_SORT_SOFTMAX_F32)
namespace {

qz_status_t qz_cuda_launch_topk_rows(void (*kernel)(int, int, int, const float *, int *, float *),
                                     const void *params) {
  const auto &p = *static_cast<const qz_ypu_topk_sort_f32_params_t *>(params);
  // A k beyond the row would read past it: the host refuses that.
  if (p.rows > 0 && p.k > p.cols) return QZ_STATUS_INVALID_ARGUMENT;
  qz_cuda_launch(kernel, {qz_cuda_blocks_256(p.rows)}, {256}, p.rows, p.k, p.cols,
                 qz_ypu_cuda_operand<const float>(p.in), qz_ypu_cuda_operand<int>(p.indices),
                 qz_ypu_cuda_operand<float>(p.values));
  return qz_ypu_cuda_launch_status();
}

}  // namespace
#endif

#if QZ_CUDA_BUILDS(TOPK_SORT_SOFTMAX_F32)
qz_status_t qz_ypu_cuda_topk_sort_softmax_f32(void *, void *, const void *params) {
  return qz_cuda_launch_topk_rows(taabe332, params);
}
#endif

#if QZ_CUDA_BUILDS(TOPK_SORT_F32)
qz_status_t qz_ypu_cuda_topk_sort_f32(void *, void *, const void *params) {
  return qz_cuda_launch_topk_rows(taabe29, params);
}
#endif

QZ_CUDA_END
