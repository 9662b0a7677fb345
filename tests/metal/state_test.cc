// Operation states on the stand-in: pipelines made when a context is created
// on the Metal device, in op order, released in reverse, and the messages of
// a pipeline that cannot be made.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "support/error_stack.h"
#include "support/metal_context.h"
#include "support/metal_standin.h"
#include "support/metal_test.h"
#include "ypu/metal/ops.h"
#include "ypu/metal/state.h"
#include "ypu/params.h"

namespace {

using qz_metal_standin::standin;

const std::string kPipeline = "0633a7d 00000341: Failed to load device specific code.";
const std::string kChain = "0633a7d 00000320: Velthrane Error.";
const std::string kInit = "0633a7d 00000321: Failed to init operator";

class MetalState : public MetalTest {};

// What the Metal column holds agrees with the op list: the blit ops have an
// execute entry only, every other listed op all three entries.
TEST_F(MetalState, ColumnMatchesTheOpList) {
  const qz_ypu_backend_t &column = QZ_YPU_METAL_BACKEND;
  constexpr int kMetalKind[] = {
#define QZ_YPU_OP(id, NAME, name, cpu, cuda, metal) metal,
#include "ypu/ops.inc"
#undef QZ_YPU_OP
  };
  for (uint32_t op = 0; op < QZ_YPU_OP_COUNT; ++op) {
    SCOPED_TRACE(op);
    if (!column.execute[op]) {
      EXPECT_EQ(column.state_init[op], nullptr);
      EXPECT_EQ(column.state_release[op], nullptr);
      continue;
    }
    EXPECT_NE(kMetalKind[op], 0) << "an op the Metal backend does not run";
    EXPECT_EQ(column.state_init[op] != nullptr, kMetalKind[op] == 2);
    EXPECT_EQ(column.state_release[op] != nullptr, kMetalKind[op] == 2);
  }
  EXPECT_EQ(column.device.device_list, nullptr);
  EXPECT_EQ(column.device.device_list_free, nullptr);
}

// The first kernel of each op's state, for every op that has one.
std::vector<std::string> first_kernels(const qz_ypu_context_t *context) {
  std::vector<std::string> names;
  for (uint32_t op = 0; op < QZ_YPU_OP_COUNT; ++op)
    if (context->states[op]) names.push_back(qz_ypu_metal_pipeline(context->states[op], 0)->kernel_name);
  return names;
}

TEST_F(MetalState, ContextMakesEveryStateInOpOrder) {
  metal_context gpu;
  const std::vector<std::string> firsts = first_kernels(gpu.context());
  ASSERT_FALSE(firsts.empty());
  // The pipelines were made op after op: each op's first kernel appears in
  // the creation order after the previous op's.
  const std::vector<std::string> &made = standin().pipelines_made;
  size_t at = 0;
  for (const std::string &name : firsts) {
    while (at < made.size() && made[at] != name) ++at;
    EXPECT_LT(at, made.size()) << name << " made out of op order";
  }
  for (uint32_t op : {QZ_YPU_OP_COPY_BYTES, QZ_YPU_OP_FILL_ZERO, QZ_YPU_OP_ZERO_PAD_2D,
                      QZ_YPU_OP_COPY_BLOCK})
    EXPECT_EQ(gpu.context()->states[op], nullptr);
}

TEST_F(MetalState, ContextReleasesTheStatesInReverseOrder) {
  std::vector<std::string> firsts;
  {
    metal_context gpu;
    firsts = first_kernels(gpu.context());
    standin().pipelines_released.clear();
  }
  const std::vector<std::string> &released = standin().pipelines_released;
  size_t at = 0;
  for (auto name = firsts.rbegin(); name != firsts.rend(); ++name) {
    while (at < released.size() && released[at] != *name) ++at;
    EXPECT_LT(at, released.size()) << *name << " released out of reverse op order";
  }
  EXPECT_EQ(released.size(), standin().pipelines_made.size());
}

TEST_F(MetalState, FailingPipelineFailsTheContextWithItsChain) {
  qz_ypu_metal_device_t *device = nullptr;
  ASSERT_EQ(qz_ypu_metal_device_open(0, &device), QZ_STATUS_SUCCESS);
  standin().missing_functions = {"taabe69"};
  qz_ypu_backend_install_test(&QZ_YPU_METAL_BACKEND);
  qz_ypu_context_t *context = nullptr;
  EXPECT_EQ(qz_ypu_context_create(QZ_YPU_BACKEND_TEST, device, &context), QZ_STATUS_RUNTIME_ERROR);
  EXPECT_EQ(context, nullptr);
  EXPECT_EQ(take_error_stack(), (std::vector<std::string>{kPipeline, kChain, kInit}));
  qz_ypu_metal_device_close(device);
  qz_ypu_backend_install_test(nullptr);
}

// The shared init over a list of kernels, failing at each position in turn.
TEST_F(MetalState, InitReleasesWhatItMadeWhenAPipelineFails) {
  qz_ypu_metal_device_t *device = nullptr;
  ASSERT_EQ(qz_ypu_metal_device_open(0, &device), QZ_STATUS_SUCCESS);
  const char *const names[] = {"taabe69", "taabe69", "missing"};
  for (const bool quiet : {false, true}) {
    void *state = reinterpret_cast<void *>(0x5A5A);
    EXPECT_EQ(qz_ypu_metal_state_init(device, &state, names, 3, quiet), QZ_STATUS_RUNTIME_ERROR);
    EXPECT_EQ(state, nullptr);
    // Ops 39 and 81 leave only the pipeline's own message.
    const std::vector<std::string> expected =
        quiet ? std::vector<std::string>{kPipeline} : std::vector<std::string>{kPipeline, kChain};
    EXPECT_EQ(take_error_stack(), expected);
    EXPECT_EQ(standin().pipelines_released.size(), standin().pipelines_made.size());
  }
  void *state = nullptr;
  ASSERT_EQ(qz_ypu_metal_state_init(device, &state, names, 2), QZ_STATUS_SUCCESS);
  EXPECT_STREQ(qz_ypu_metal_pipeline(state, 1)->kernel_name, "taabe69");
  qz_ypu_metal_state_release(device, state, 2);
  qz_ypu_metal_state_release(device, nullptr, 2);
  qz_ypu_metal_device_close(device);
}

// The example entry end to end: bindings at their offsets, the exact grid,
// results after the download.
TEST_F(MetalState, AddRunsOnTheGpuWithItsOffsets) {
  metal_context gpu;
  std::vector<float> a(10), b(10);
  for (int i = 0; i < 10; ++i) a[i] = 0.5f * i, b[i] = 100.0f + i;
  qz_ypu_buffer_t *out = gpu.buffer(40, 0xFF), *ab = gpu.buffer(a), *bb = gpu.buffer(b);
  const qz_ypu_two_input_params_t p{out, ab, bb, 7, 8, 4, 12};
  ASSERT_EQ(gpu.run(QZ_YPU_OP_ADD_F32, &p), QZ_STATUS_SUCCESS);
  ASSERT_EQ(standin().dispatches.size(), 1u);
  EXPECT_EQ(standin().dispatches[0].grid[0], 7u);
  const std::vector<float> result = gpu.read<float>(out, 10);
  for (int i = 0; i < 10; ++i) {
    SCOPED_TRACE(i);
    if (i < 2 || i >= 9)
      EXPECT_TRUE(std::isnan(result[i])) << "outside the operand";
    else
      EXPECT_EQ(result[i], a[i - 1] + b[i + 1]);
  }
}

}  // namespace
