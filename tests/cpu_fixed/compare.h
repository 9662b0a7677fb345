// Runs a fixed-point operation through the CPU entries and through the host
// implementation on the same operand bytes, and compares every byte of every
// buffer afterwards: the operands themselves (outputs must equal the host's
// integers) and the guard bytes around them (nothing written outside).
//
// Each test is parameterised by an instruction-set mask that is forced on the
// CPU devices; the CPU side runs without a pool and with pools of 2, 3 and 8
// threads.
#pragma once

#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/isa_sets.h"
#include "ypu/cpu/device.h"
#include "ypu/ypu.h"

namespace cpu_fixed {

using bytes = std::vector<unsigned char>;

inline constexpr int32_t kCanaryBytes = 32;
inline constexpr unsigned char kCanary = 0xC5;

// One buffer: `lead` guard bytes (the operand's byte offset), the operand,
// then trailing guard bytes.
struct operand {
  bytes data;
  int32_t lead = 0;
};

template <class T>
operand make_operand(const std::vector<T> &values, int32_t lead = 0) {
  operand o;
  o.lead = lead;
  o.data.assign(static_cast<size_t>(lead), kCanary);
  const auto *p = reinterpret_cast<const unsigned char *>(values.data());
  o.data.insert(o.data.end(), p, p + values.size() * sizeof(T));
  o.data.insert(o.data.end(), kCanaryBytes, kCanary);
  return o;
}

template <class T>
std::vector<T> operand_values(const bytes &data, int32_t lead, size_t count) {
  std::vector<T> v(count);
  if (count) std::memcpy(v.data(), data.data() + lead, count * sizeof(T));
  return v;
}

using isa_case = qz_test_isa_set;

inline constexpr const auto &kIsaCases = QZ_TEST_ISA_SETS;

#define QZ_SKIP_WITHOUT_SETS(mask)                                                  \
  do {                                                                              \
    const std::string missing_ = qz_test_missing_sets(mask);                     \
    if (!missing_.empty()) GTEST_SKIP() << "this processor lacks" << missing_;      \
  } while (0)

inline constexpr int kThreadCounts[] = {1, 2, 3, 8};

// The contexts of one test: the host reference and CPU devices with the
// forced mask at every thread count.
class contexts {
 public:
  explicit contexts(uint32_t mask) {
    host_ = open("cpu:1");
    if (host_) host_->flags |= QZ_YPU_CONTEXT_HOST_ONLY;
    for (int threads : kThreadCounts) {
      qz_ypu_context_t *c = open(("cpu:" + std::to_string(threads)).c_str());
      if (!c) continue;
      static_cast<qz_ypu_cpu_device_t *>(c->device)->isa_flags = mask;
      cpu_.push_back(c);
    }
  }
  ~contexts() {
    if (host_) qz_ypu_context_destroy(host_);
    for (qz_ypu_context_t *c : cpu_) qz_ypu_context_destroy(c);
  }
  contexts(const contexts &) = delete;
  contexts &operator=(const contexts &) = delete;

  qz_ypu_context_t *host() const { return host_; }
  const std::vector<qz_ypu_context_t *> &cpu() const { return cpu_; }

 private:
  static qz_ypu_context_t *open(const char *device) {
    qz_ypu_context_t *c = nullptr;
    EXPECT_EQ(qz_ypu_context_from_device_string(device, "cpu:1", &c), QZ_STATUS_SUCCESS) << device;
    return c;
  }
  qz_ypu_context_t *host_ = nullptr;
  std::vector<qz_ypu_context_t *> cpu_;
};

struct run_result {
  qz_status_t status = QZ_STATUS_SUCCESS;
  std::vector<bytes> buffers;
};

// Builds the buffers, runs `op` `repeat` times with the record `make`
// returns for them, and reads every buffer back whole.
template <class P>
run_result run(qz_ypu_context_t *context, uint32_t op, const std::vector<operand> &operands,
               const std::function<P(qz_ypu_buffer_t *const *)> &make, int repeat = 1) {
  const qz_ypu_device_ops_t &ops = qz_ypu_ops(context);
  std::vector<qz_ypu_buffer_t *> handles;
  for (const operand &o : operands) {
    const auto size = static_cast<int32_t>(o.data.size());
    qz_ypu_buffer_t *b = ops.buffer_create(context->device, size, 0);
    EXPECT_NE(b, nullptr);
    EXPECT_EQ(ops.buffer_upload(context->device, b, o.data.data(), 0, size), QZ_STATUS_SUCCESS);
    handles.push_back(b);
  }
  const P params = make(handles.data());
  run_result r;
  for (int i = 0; i < repeat; ++i) r.status = qz_ypu_execute(context, op, &params);
  for (size_t i = 0; i < operands.size(); ++i) {
    bytes back(operands[i].data.size());
    EXPECT_EQ(ops.buffer_download(context->device, handles[i], back.data(), 0,
                                  static_cast<int32_t>(back.size())),
              QZ_STATUS_SUCCESS);
    r.buffers.push_back(std::move(back));
    ops.buffer_free(context->device, handles[i]);
  }
  return r;
}

// The first differing byte of two buffers, for failure messages.
inline std::string first_difference(const bytes &a, const bytes &b) {
  if (a.size() != b.size()) return "sizes differ";
  for (size_t i = 0; i < a.size(); ++i)
    if (a[i] != b[i])
      return "byte " + std::to_string(i) + ": host " + std::to_string(a[i]) + ", cpu " +
             std::to_string(b[i]);
  return "";
}

// Collects cases: each runs on the host at once; finish() (or the
// destructor) then opens one CPU device per thread count, with the forced
// mask, runs every case there and expects identical bytes in every buffer,
// guards included. Only one worker pool is alive at a time, so idle pools do
// not spin against the one at work.
class same_as_host {
 public:
  explicit same_as_host(uint32_t mask) : mask_(mask) {
    host_ = open("cpu:1");
    if (host_) host_->flags |= QZ_YPU_CONTEXT_HOST_ONLY;
  }
  ~same_as_host() {
    finish();
    if (host_) qz_ypu_context_destroy(host_);
  }
  same_as_host(const same_as_host &) = delete;
  same_as_host &operator=(const same_as_host &) = delete;

  qz_ypu_context_t *host() const { return host_; }

  // Returns the host's result; `label` names the case in failure messages.
  template <class P>
  run_result add(const std::string &label, uint32_t op, const std::vector<operand> &operands,
                 const std::function<P(qz_ypu_buffer_t *const *)> &make, int repeat = 1) {
    run_result want = run<P>(host_, op, operands, make, repeat);
    EXPECT_EQ(want.status, QZ_STATUS_SUCCESS) << label;
    cases_.push_back([=](qz_ypu_context_t *context, int threads) {
      const run_result got = run<P>(context, op, operands, make, repeat);
      EXPECT_EQ(got.status, want.status) << label << ", " << threads << " threads";
      for (size_t i = 0; i < operands.size(); ++i)
        EXPECT_TRUE(got.buffers[i] == want.buffers[i])
            << label << ", buffer " << i << ", " << threads
            << " threads: " << first_difference(want.buffers[i], got.buffers[i]);
    });
    return want;
  }

  void finish() {
    if (cases_.empty()) return;
    for (int threads : kThreadCounts) {
      qz_ypu_context_t *c = open(("cpu:" + std::to_string(threads)).c_str());
      if (!c) continue;
      static_cast<qz_ypu_cpu_device_t *>(c->device)->isa_flags = mask_;
      for (const auto &run_case : cases_) run_case(c, threads);
      qz_ypu_context_destroy(c);
    }
    cases_.clear();
  }

 private:
  static qz_ypu_context_t *open(const char *device) {
    qz_ypu_context_t *c = nullptr;
    EXPECT_EQ(qz_ypu_context_from_device_string(device, "cpu:1", &c), QZ_STATUS_SUCCESS) << device;
    return c;
  }
  uint32_t mask_;
  qz_ypu_context_t *host_ = nullptr;
  std::vector<std::function<void(qz_ypu_context_t *, int)>> cases_;
};

// Random values over the whole range of T, a quarter of them at the extremes,
// so that products saturate and sums wrap.
template <class T>
std::vector<T> random_values(std::mt19937 &rng, size_t count) {
  std::uniform_int_distribution<int32_t> any(std::numeric_limits<T>::min(),
                                             std::numeric_limits<T>::max());
  std::uniform_int_distribution<int> pick(0, 7);
  std::vector<T> v(count);
  for (T &x : v) {
    const int k = pick(rng);
    x = k == 0 ? std::numeric_limits<T>::min()
               : k == 1 ? std::numeric_limits<T>::max() : static_cast<T>(any(rng));
  }
  return v;
}

inline std::string isa_name(const testing::TestParamInfo<isa_case> &info) {
  return info.param.name;
}

}  // namespace cpu_fixed

#define QZ_CPU_FIXED_ISA_CASES(suite) \
  INSTANTIATE_TEST_SUITE_P(Isa, suite, testing::ValuesIn(cpu_fixed::kIsaCases), cpu_fixed::isa_name)
