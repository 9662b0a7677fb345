// Host implementations of the top-k selections: one row by insertion (the
// beam search's candidate pick) and many rows by sorting, optionally with a
// softmax over the kept values.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "common/error.h"
#include "ypu/table_exp.h"
#include "ypu/host/frame.h"
#include "ypu/host/host.h"
#include "ypu/params.h"
#include "ypu/topk_insert.h"

struct qz_ypu_topk_pair_t {
  int32_t index;
  float value;
};

int qz_ypu_host_topk_sort_compare(const void *x, const void *y);
int qz_ypu_host_topk_sort_softmax_compare(const void *x, const void *y);

// Descending values; ties in ascending index order; NaNs after every number,
// also in ascending index order. Every pair has its own index, so this is a
// strict total order and the sort's result does not depend on how qsort
// treats equal elements (nor can a NaN make the order inconsistent).
int qz_ypu_host_topk_sort_compare(const void *x, const void *y) {
  const auto &a = *static_cast<const qz_ypu_topk_pair_t *>(x);
  const auto &b = *static_cast<const qz_ypu_topk_pair_t *>(y);
  const bool a_nan = std::isnan(a.value), b_nan = std::isnan(b.value);
  if (a_nan != b_nan) return a_nan ? 1 : -1;
  if (!a_nan) {
    if (a.value < b.value) return 1;
    if (a.value > b.value) return -1;
  }
  return a.index < b.index ? -1 : a.index > b.index ? 1 : 0;
}

int qz_ypu_host_topk_sort_softmax_compare(const void *x, const void *y) {
  return qz_ypu_host_topk_sort_compare(x, y);
}

namespace {

// Scratch memory from the context's backend, returned on every path.
class host_scratch {
 public:
  host_scratch(qz_ypu_context_t *context, int32_t bytes)
      : ops_(qz_ypu_ops(context)),
        device_(context->device),
        pointer_(ops_.host_alloc(device_, bytes)) {}
  ~host_scratch() {
    if (pointer_) ops_.host_free(device_, pointer_);
  }
  host_scratch(const host_scratch &) = delete;
  host_scratch &operator=(const host_scratch &) = delete;
  void *get() const { return pointer_; }

 private:
  const qz_ypu_device_ops_t &ops_;
  void *device_;
  void *pointer_;
};

qz_status_t invalid(const char *name) {
  qz_error_push("", 0, &QZ_ERROR_ARG_INVALID, name);
  return QZ_STATUS_INVALID_ARGUMENT;
}

// Softmax of k values in place: the maximum with fmaxf, exponentials of the
// differences, their sum in index order, one division per value.
void softmax(float *values, int32_t k) {
  float m = values[0];
  for (int32_t j = 1; j < k; ++j) m = fmaxf(m, values[j]);
  float total = 0.0f;
  for (int32_t j = 0; j < k; ++j) {
    values[j] = qz_ypu_build_expf(values[j] - m);
    total += values[j];
  }
  for (int32_t j = 0; j < k; ++j) values[j] /= total;
}

qz_status_t topk_sort(qz_ypu_context_t *context, const void *params,
                      int (*compare)(const void *, const void *), bool with_softmax) {
  const auto &p = *static_cast<const qz_ypu_topk_sort_f32_params_t *>(params);
  const bool work = p.rows > 0 && p.k > 0;
  // The kept pairs are read from a sorted array of `cols` pairs.
  if (work && p.k > p.cols) return invalid("k");
  // The scratch is one row of pairs; its size must fit the allocator's int32.
  const int64_t scratch_bytes = work ? int64_t{p.cols} * int64_t{sizeof(qz_ypu_topk_pair_t)} : 1;
  if (scratch_bytes > INT32_MAX) return invalid("cols");

  qz_ypu_host_frame frame(context);
  int32_t *indices = frame.inout<int32_t>(p.indices, 0);
  float *values = frame.inout<float>(p.values, 0);
  const float *in = frame.in<float>(p.in, 0);
  if (!frame.ok()) return frame.status();
  if (!work) return QZ_STATUS_SUCCESS;

  host_scratch scratch(context, static_cast<int32_t>(scratch_bytes));
  auto *pairs = static_cast<qz_ypu_topk_pair_t *>(scratch.get());
  if (!pairs) {
    qz_error_push("", 0, &QZ_ERROR_OUT_OF_MEMORY);
    return QZ_STATUS_OUT_OF_MEMORY;
  }
  for (int32_t r = 0; r < p.rows; ++r) {
    const float *row = in + r * ptrdiff_t{p.cols};
    for (int32_t j = 0; j < p.cols; ++j) pairs[j] = {j, row[j]};
    qsort(pairs, static_cast<size_t>(p.cols), sizeof(qz_ypu_topk_pair_t), compare);
    int32_t *kept_indices = indices + r * ptrdiff_t{p.k};
    float *kept_values = values + r * ptrdiff_t{p.k};
    for (int32_t j = 0; j < p.k; ++j) {
      kept_indices[j] = pairs[j].index;
      kept_values[j] = pairs[j].value;
    }
    if (with_softmax) softmax(kept_values, p.k);
  }
  return QZ_STATUS_SUCCESS;
}

}  // namespace

qz_status_t qz_ypu_host_topk_sort_softmax_f32(qz_ypu_context_t *context, const void *params) {
  return topk_sort(context, params, qz_ypu_host_topk_sort_softmax_compare, true);
}

qz_status_t qz_ypu_host_topk_sort_f32(qz_ypu_context_t *context, const void *params) {
  return topk_sort(context, params, qz_ypu_host_topk_sort_compare, false);
}

// Insertion into a descending list of k (see qz_ypu_topk_insert).
qz_status_t qz_ypu_host_topk_f32(qz_ypu_context_t *context, const void *params) {
  const auto &p = *static_cast<const qz_ypu_topk_f32_params_t *>(params);
  qz_ypu_host_frame frame(context);
  const float *in = frame.in<float>(p.in, p.in_offset);
  float *values = frame.inout<float>(p.values, p.values_offset);
  int32_t *indices = frame.inout<int32_t>(p.indices, p.indices_offset);
  if (!frame.ok()) return frame.status();
  qz_ypu_topk_insert(in, p.n, values, indices, p.k);
  return QZ_STATUS_SUCCESS;
}
