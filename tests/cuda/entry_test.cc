// What every CUDA entry does before its kernels: it runs on its context's
// device, whichever thread calls it and whichever device that thread used
// last, and it hands operands the GPU could not read to the host code.
#include "twin.h"

#include <thread>

#include "support/error_stack.h"
#include "support/lowbit_op.h"
#include "support/lowbit_weight.h"
#include "ypu/cuda/ops.h"
#include "ypu/params.h"

// Set when the tests run with UndefinedBehaviorSanitizer, which refuses the
// host implementations' reads at misaligned addresses.
extern "C" void __ubsan_handle_type_mismatch_v1(void *, void *) __attribute__((weak));

namespace {

using qz_gpu_harness::cuda_call;
using qz_gpu_harness::cuda_harness;
using namespace qz_cuda_emu;

// ---------------------------------------------------------------------------
// Devices.

const qz_ypu_device_ops_t &ops() { return QZ_YPU_CUDA_BACKEND.device; }

// The calling thread's other work: device 0 current again between calls.
qz_status_t run_after_gpu0(qz_ypu_context_t *context, uint32_t op, const void *params) {
  EXPECT_EQ(qz_ypu_cuda_runtime()->set_device(0), 0);
  return qz_ypu_execute(context, op, params);
}

// A buffer of the context's device holding `values`.
template <class T>
qz_ypu_buffer_t *device_buffer(void *device, const std::vector<T> &values,
                               std::vector<qz_ypu_buffer_t *> *made) {
  const int32_t bytes = static_cast<int32_t>(values.size() * sizeof(T));
  qz_ypu_buffer_t *b = ops().buffer_create(device, bytes, 0);
  EXPECT_EQ(ops().buffer_upload(device, b, values.data(), 0, bytes), QZ_STATUS_SUCCESS);
  made->push_back(b);
  return b;
}

// Op 0, a fill, a top-k pick (stream-ordered temporaries and copies) and a
// low-bit repack (the context's streams and events) on a context, through
// the backend's table, from the calling thread, device 0 being current
// before each operation; the pick's values.
std::vector<float> work_on(qz_ypu_context_t *context) {
  void *device = context->device;
  const lowbit_weight w = make_lowbit_weight(2, {0, 0, 2, 0, 1, 0, 0, 0}, {}, 3);
  std::vector<qz_ypu_buffer_t *> weight;
  const qz_ypu_repack_lowbit_params_t repack = lowbit_repack_params(
      lowbit_params(w, [&](const auto &v) { return device_buffer(device, v, &weight); }));
  EXPECT_EQ(run_after_gpu0(context, QZ_YPU_OP_REPACK_LOWBIT, &repack), QZ_STATUS_SUCCESS);
  std::vector<uint8_t> tiles(w.tiles.size());
  EXPECT_EQ(ops().buffer_download(device, repack.tiles, tiles.data(), 0,
                                  static_cast<int32_t>(tiles.size())),
            QZ_STATUS_SUCCESS);
  EXPECT_EQ(tiles, lowbit_baseline_tiles(w));
  for (qz_ypu_buffer_t *buffer : weight) ops().buffer_free(device, buffer);

  const std::vector<float> a = {1, 5, 3, 4}, b = {10, 20, 30, 40};
  qz_ypu_buffer_t *in_a = ops().buffer_create(device, 16, 0),
                  *in_b = ops().buffer_create(device, 16, 0),
                  *sum = ops().buffer_create(device, 16, 0),
                  *values = ops().buffer_create(device, 8, 0),
                  *indices = ops().buffer_create(device, 8, 0);
  EXPECT_EQ(ops().buffer_upload(device, in_a, a.data(), 0, 16), QZ_STATUS_SUCCESS);
  EXPECT_EQ(ops().buffer_upload(device, in_b, b.data(), 0, 16), QZ_STATUS_SUCCESS);
  const qz_ypu_fill_zero_params_t zero{sum, 16, 0};
  EXPECT_EQ(run_after_gpu0(context, QZ_YPU_OP_FILL_ZERO, &zero), QZ_STATUS_SUCCESS);
  const qz_ypu_add_f32_params_t add{sum, in_a, in_b, 4, 0, 0, 0};
  EXPECT_EQ(run_after_gpu0(context, QZ_YPU_OP_ADD_F32, &add), QZ_STATUS_SUCCESS);
  const qz_ypu_topk_f32_params_t pick{sum, values, indices, 4, 2, 0, 0, 0};
  EXPECT_EQ(run_after_gpu0(context, QZ_YPU_OP_TOPK_F32, &pick), QZ_STATUS_SUCCESS);
  std::vector<float> top(2);
  EXPECT_EQ(ops().buffer_download(device, values, top.data(), 0, 8), QZ_STATUS_SUCCESS);
  for (qz_ypu_buffer_t *buffer : {in_a, in_b, sum, values, indices})
    ops().buffer_free(device, buffer);
  return top;
}

// A context on gpu:1 used on the opening thread after gpu:0 was opened
// there, and from a second thread (whose current device is 0): every
// allocation and launch lands on device 1, with device 1's streams.
TEST(CudaEntry, WorkLandsOnTheContextsDevice) {
  cuda_harness runtime;
  runtime.device_count = 2;
  qz_ypu_cuda_device_t *gpu1 = nullptr, *gpu0 = nullptr;
  ASSERT_EQ(qz_ypu_cuda_device_open_at(1, &gpu1), QZ_STATUS_SUCCESS);
  ASSERT_EQ(qz_ypu_cuda_device_open_at(0, &gpu0), QZ_STATUS_SUCCESS);
  qz_ypu_backend_install_test(&QZ_YPU_CUDA_BACKEND);
  qz_ypu_context_t *context = nullptr;
  ASSERT_EQ(qz_ypu_context_create(QZ_YPU_BACKEND_TEST, gpu1, &context), QZ_STATUS_SUCCESS);
  const std::vector<float> expected = {44, 33};

  const size_t first = runtime.launch_devices().size();
  EXPECT_EQ(work_on(context), expected);
  std::vector<float> from_thread;
  std::thread([&] { from_thread = work_on(context); }).join();
  EXPECT_EQ(from_thread, expected);
  const std::vector<int> launched(runtime.launch_devices().begin() + first,
                                  runtime.launch_devices().end());
  EXPECT_EQ(launched, std::vector<int>(launched.size(), 1));
  // The repack's two widths, the sums and the pick's positions, twice.
  EXPECT_EQ(launched.size(), 8u);
  EXPECT_TRUE(take_error_stack().empty());

  // The context's buffers too: one made from a thread on device 0.
  qz_ypu_buffer_t *buffer = nullptr;
  std::thread([&] { buffer = ops().buffer_create(gpu1, 4, 0); }).join();
  EXPECT_EQ(runtime.allocation_device(reinterpret_cast<qz_ypu_cuda_buffer_t *>(buffer)->device_ptr),
            1);
  ops().buffer_free(gpu1, buffer);
  qz_ypu_context_destroy(context);  // closes gpu:1
  qz_ypu_cuda_device_release(gpu0);
  qz_ypu_backend_install_test(nullptr);
  EXPECT_EQ(runtime.live_allocations(), 0);
  EXPECT_EQ(runtime.live_streams(), 0);
}

// A device that cannot be made current fails the call with 0x334 before
// anything reaches the GPU.
TEST(CudaEntry, DeviceThatCannotBeSelected) {
  cuda_harness runtime;
  runtime.device_count = 2;
  qz_ypu_cuda_device_t *gpu1 = nullptr;
  ASSERT_EQ(qz_ypu_cuda_device_open_at(1, &gpu1), QZ_STATUS_SUCCESS);
  qz_ypu_buffer_t *buffer = ops().buffer_create(gpu1, 16, 0);
  const int launches = runtime.calls(cuda_call::launch_kernel);
  std::thread([&] {
    runtime.fail(cuda_call::set_device);
    const qz_ypu_fill_zero_params_t zero{buffer, 16, 0};
    EXPECT_EQ(QZ_YPU_CUDA_BACKEND.execute[QZ_YPU_OP_FILL_ZERO](gpu1, nullptr, &zero),
              QZ_STATUS_RUNTIME_ERROR);
    EXPECT_EQ(take_error_stack(),
              std::vector<std::string>{"0633a7d 00000334: Failed to communicate with device."});
  }).join();
  EXPECT_EQ(runtime.calls(cuda_call::memset_async), 0);
  EXPECT_EQ(runtime.calls(cuda_call::launch_kernel), launches);
  ops().buffer_free(gpu1, buffer);
  ops().device_close(gpu1);
}

// ---------------------------------------------------------------------------
// Misaligned operands.

// One op with one operand off its element boundary: declined without a
// message and without touching the GPU, and the host code's result on both
// sides (not where the sanitizer refuses the host code's reads).
struct misaligned_case {
  const char *name;
  void (*run)(twin &t, bool host_too);
};

template <class Make>
void expect_declined(twin &t, uint32_t op, Make make, bool host_too) {
  cuda_context &gpu = t.gpu();
  const int launches = gpu.runtime().calls(cuda_call::launch_kernel);
  const int fills = gpu.runtime().calls(cuda_call::memset_async);
  const auto params = make(true);
  EXPECT_EQ(QZ_YPU_CUDA_BACKEND.execute[op](gpu.device(), nullptr, &params),
            QZ_STATUS_INVALID_ARGUMENT);
  EXPECT_TRUE(take_error_stack().empty());
  EXPECT_EQ(gpu.runtime().calls(cuda_call::launch_kernel), launches);
  EXPECT_EQ(gpu.runtime().calls(cuda_call::memset_async), fills);
  if (host_too) t.run(op, make);
  EXPECT_EQ(gpu.runtime().misaligned_operands, 0);
  EXPECT_EQ(gpu.runtime().last_error, 0);
}

const misaligned_case kMisaligned[] = {
    {"add_f32 out at 2",
     [](twin &t, bool host) {
       const twin_buffer out = t.bytes(40), a = t.buffer(random_floats(9, -1, 1, 1)),
                         b = t.buffer(random_floats(9, -1, 1, 2));
       expect_declined(t, QZ_YPU_OP_ADD_F32, [&](bool g) {
         return qz_ypu_add_f32_params_t{out.on(g), a.on(g), b.on(g), 8, 2, 4, 0};
       }, host);
       if (host) t.expect_same<uint8_t>(out, 40);
     }},
    {"convert_i16_f32 in at 1",
     [](twin &t, bool host) {
       const twin_buffer out = t.bytes(32), in = t.buffer(random_ints<int16_t>(9, -999, 999, 3));
       expect_declined(t, QZ_YPU_OP_CONVERT_I16_F32, [&](bool g) {
         return qz_ypu_convert_i16_f32_params_t{out.on(g), in.on(g), 8, 0, 1};
       }, host);
       if (host) t.expect_same<float>(out, 8);
     }},
    {"add_sat_i16 b at 3",
     [](twin &t, bool host) {
       const twin_buffer out = t.bytes(16), a = t.buffer(random_ints<int16_t>(8, -32768, 32767, 4)),
                         b = t.buffer(random_ints<int16_t>(9, -32768, 32767, 5));
       expect_declined(t, QZ_YPU_OP_ADD_SAT_I16, [&](bool g) {
         return qz_ypu_add_sat_i16_params_t{out.on(g), a.on(g), b.on(g), 6, 0, 0, 3};
       }, host);
       if (host) t.expect_same<int16_t>(out, 8);
     }},
    {"dwconv1d_acc_i8i16 out at 6",
     [](twin &t, bool host) {
       const twin_buffer out = t.buffer(random_ints<int32_t>(10, -99, 99, 6)),
                         w = t.buffer(random_ints<int8_t>(6, -128, 127, 7)),
                         x = t.buffer(random_ints<int16_t>(8, -999, 999, 8));
       expect_declined(t, QZ_YPU_OP_DWCONV1D_ACC_I8I16, [&](bool g) {
         return qz_ypu_dwconv1d_acc_i8i16_params_t{out.on(g), w.on(g), x.on(g), 2, 2, 3, 6, 0, 0};
       }, host);
       if (host) t.expect_same<uint8_t>(out, 40);
     }},
    {"layer_norm_f32 beta at 2",
     [](twin &t, bool host) {
       const twin_buffer out = t.bytes(24), in = t.buffer(random_floats(6, -1, 1, 9)),
                         gamma = t.buffer(random_floats(3, 0, 1, 10)),
                         beta = t.buffer(random_floats(4, -1, 1, 11));
       expect_declined(t, QZ_YPU_OP_LAYER_NORM_F32, [&](bool g) {
         return qz_ypu_layer_norm_f32_params_t{out.on(g), in.on(g), gamma.on(g), beta.on(g), 1e-5f,
                                               2, 3, 0, 0, 0, 2};
       }, host);
       if (host) t.expect_same<float>(out, 6);
     }},
    {"matmul_nt_f32 b at 6",
     [](twin &t, bool host) {
       const twin_buffer out = t.bytes(16), a = t.buffer(random_floats(6, -1, 1, 12)),
                         b = t.buffer(random_floats(8, -1, 1, 13));
       expect_declined(t, QZ_YPU_OP_MATMUL_NT_F32, [&](bool g) {
         return qz_ypu_matmul_nt_f32_params_t{out.on(g), a.on(g), b.on(g), 2, 2, 3, 0, 0, 6};
       }, host);
       if (host) t.expect_same<float>(out, 4);
     }},
    {"topk_f32 indices at 2",
     [](twin &t, bool host) {
       const twin_buffer in = t.buffer(std::vector<float>{4, 9, 1, 7}), values = t.bytes(8),
                         indices = t.bytes(12);
       expect_declined(t, QZ_YPU_OP_TOPK_F32, [&](bool g) {
         return qz_ypu_topk_f32_params_t{in.on(g), values.on(g), indices.on(g), 4, 2, 0, 0, 2};
       }, host);
       if (host) t.expect_same<uint8_t>(indices, 12);
     }},
};

TEST(CudaEntry, MisalignedOperandsGoToTheHost) {
  const bool host_too = !__ubsan_handle_type_mismatch_v1;
  for (const misaligned_case &c : kMisaligned) {
    SCOPED_TRACE(c.name);
    twin t;
    c.run(t, host_too);
  }
}

// The harness's typed operands fault at such addresses, as the GPU does: the
// check above is what keeps the kernels from them.
TEST(CudaEntry, HarnessFaultsOnAMisalignedTypedOperand) {
  cuda_context gpu;
  qz_ypu_buffer_t *out = gpu.buffer(40), *in = gpu.buffer(40);
  const qz_ypu_relu_f32_params_t relu{out, in, 4, 2, 0};
  EXPECT_EQ(qz_ypu_cuda_relu_f32(gpu.device(), nullptr, &relu), QZ_STATUS_RUNTIME_ERROR);
  EXPECT_EQ(gpu.runtime().misaligned_operands, 1);
  // The fault loses the context for good, and the entry says so.
  const std::vector<std::string> stack = take_error_stack();
  ASSERT_EQ(stack.size(), 2u);
  EXPECT_EQ(stack[0], kKernelFailed);
  EXPECT_NE(stack[1].find("lost after error 716"), std::string::npos) << stack[1];
  // Aligned offsets pass, negative ones too; byte operands have no boundary.
  for (const int32_t offset : {-4, 0, 4, 36}) {
    const qz_ypu_relu_f32_params_t aligned{out, in, 1, offset, 8};
    EXPECT_TRUE(qz_ypu_cuda_offsets_aligned(QZ_YPU_OP_RELU_F32, &aligned));
  }
  const qz_ypu_relu_f32_params_t negative{out, in, 1, -2, 8};
  EXPECT_FALSE(qz_ypu_cuda_offsets_aligned(QZ_YPU_OP_RELU_F32, &negative));
  const qz_ypu_fill_zero_params_t bytes{out, 3, 1};
  EXPECT_TRUE(qz_ypu_cuda_offsets_aligned(QZ_YPU_OP_FILL_ZERO, &bytes));
}

}  // namespace
