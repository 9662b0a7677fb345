#include <cstring>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/error_stack.h"
#include "support/fake_backend.h"
#include "ypu/cpu/device.h"
#include "ypu/params.h"

namespace {

using entry = fake_backend::entry;

// Which backend has an entry for which op, written out independently of the
// op list the tables are generated from.
TEST(DispatchTables, MembershipOfTheCpuColumn) {
  const std::set<uint32_t> cpu = {0,  1,  5,  6,  10, 11, 12, 13, 19, 20, 21, 28, 30, 39, 40,
                                  46, 55, 65, 69, 70, 71, 72, 77, 78, 79, 81, 92, 93, 94};
  const qz_ypu_backend_t *backend = qz_ypu_backend(QZ_YPU_BACKEND_CPU);
  ASSERT_NE(backend, nullptr);
  for (uint32_t op = 0; op < QZ_YPU_OP_COUNT; ++op) {
    EXPECT_EQ(backend->execute[op] != nullptr, cpu.count(op) == 1) << "op " << op;
    EXPECT_NE(qz_ypu_host_ops[op], nullptr) << "op " << op;
  }
  EXPECT_EQ(backend->state_init, nullptr);
  EXPECT_EQ(backend->state_release, nullptr);
#if defined(QZ_WITH_CUDA)
  EXPECT_NE(qz_ypu_backend(QZ_YPU_BACKEND_CUDA), nullptr);
#else
  EXPECT_EQ(qz_ypu_backend(QZ_YPU_BACKEND_CUDA), nullptr);
#endif
  for (uint32_t column : {2u, 3u, 4u}) EXPECT_EQ(qz_ypu_backend(column), nullptr);
  EXPECT_EQ(qz_ypu_backend(5), nullptr);
}

TEST(DispatchTables, OpIdsMatchTheirNumbers) {
  EXPECT_EQ(QZ_YPU_OP_ADD_F32, 0u);
  EXPECT_EQ(QZ_YPU_OP_LAYER_NORM_F32, 33u);
  EXPECT_EQ(QZ_YPU_OP_SOFTMAX_F32, 78u);
  EXPECT_EQ(QZ_YPU_OP_TOPK_F32, 87u);
  EXPECT_EQ(QZ_YPU_OP_REPACK_LOWBIT, 94u);
  EXPECT_EQ(QZ_YPU_OP_COUNT, 95u);
}

// One add of two floats through op 0 on a fake-backend context; tells which
// implementation ran by the log and the output.
struct add_run {
  qz_status_t status;
  bool entry_called;
  bool host_ran;
  bool same_params;
};

add_run run_add(entry backend_entry, bool host_only) {
  fake_backend fake;
  fake.execute[QZ_YPU_OP_ADD_F32] = backend_entry;
  qz_ypu_context_t *context = fake.make_context();
  EXPECT_NE(context, nullptr);
  if (host_only) context->flags |= QZ_YPU_CONTEXT_HOST_ONLY;
  const float a[2] = {1.5f, 2.0f}, b[2] = {0.25f, -4.0f};
  qz_ypu_buffer_t *ba = fake.create(8), *bb = fake.create(8), *bo = fake.create(8);
  fake.write(ba, a, 8);
  fake.write(bb, b, 8);
  const qz_ypu_add_f32_params_t params{.out = bo, .a = ba, .b = bb, .count = 2};
  add_run run{};
  run.status = qz_ypu_execute(context, QZ_YPU_OP_ADD_F32, &params);
  run.entry_called = fake.count("execute 0") == 1;
  run.same_params = !fake.execute_params.empty() && fake.execute_params[0] == &params;
  float out[2];
  fake.read(bo, out, 8);
  run.host_ran = out[0] == 1.75f && out[1] == -2.0f;
  for (auto buffer : {ba, bb, bo}) fake.destroy(buffer);
  qz_ypu_context_destroy(context);
  return run;
}

TEST(Dispatch, EntryOrHostDecisionTable) {
  struct {
    entry backend_entry;
    bool host_only;
    qz_status_t status;
    bool entry_called;
    bool host_ran;
  } cases[] = {
      {entry::succeed, false, QZ_STATUS_SUCCESS, true, false},
      {entry::decline, false, QZ_STATUS_SUCCESS, true, true},
      {entry::fail, false, QZ_STATUS_RUNTIME_ERROR, true, false},
      {entry::none, false, QZ_STATUS_SUCCESS, false, true},
      {entry::succeed, true, QZ_STATUS_SUCCESS, false, true},
      {entry::fail, true, QZ_STATUS_SUCCESS, false, true},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(testing::Message() << "entry " << int(c.backend_entry) << " host_only "
                                    << c.host_only);
    const add_run run = run_add(c.backend_entry, c.host_only);
    EXPECT_EQ(run.status, c.status);
    EXPECT_EQ(run.entry_called, c.entry_called);
    EXPECT_EQ(run.host_ran, c.host_ran);
    if (c.entry_called) {
      EXPECT_TRUE(run.same_params);
    }
  }
  // The dispatcher itself reports nothing.
  EXPECT_TRUE(take_error_stack().empty());
}

TEST(Dispatch, OpIdsPastTheTablesAreRefused) {
  fake_backend fake;
  fake.execute.fill(entry::succeed);
  qz_ypu_context_t *context = fake.make_context();
  int dummy = 0;
  EXPECT_EQ(qz_ypu_execute(context, QZ_YPU_OP_COUNT, &dummy), QZ_STATUS_INVALID_ARGUMENT);
  EXPECT_EQ(qz_ypu_execute(context, 0xFFFFFFFFu, &dummy), QZ_STATUS_INVALID_ARGUMENT);
  EXPECT_EQ(fake.count("execute 0"), 0);
  qz_ypu_context_destroy(context);
}

TEST(Dispatch, AMappingFailureReachesTheCaller) {
  fake_backend fake;
  qz_ypu_context_t *context = fake.make_context();
  qz_ypu_buffer_t *buffer = fake.create(8);
  fake.fail_map = true;
  const qz_ypu_add_f32_params_t params{.out = buffer, .a = buffer, .b = buffer, .count = 2};
  EXPECT_NE(qz_ypu_execute(context, QZ_YPU_OP_ADD_F32, &params), QZ_STATUS_SUCCESS);
  fake.destroy(buffer);
  qz_ypu_context_destroy(context);
}

std::vector<std::string> events_like(const std::vector<std::string> &log, const char *prefix) {
  std::vector<std::string> out;
  for (const auto &e : log)
    if (e.rfind(prefix, 0) == 0) out.push_back(e);
  return out;
}

TEST(ContextLifecycle, StatesAreMadeInOrderAndReleasedInReverse) {
  fake_backend fake;
  for (uint32_t op : {3u, 40u, 94u}) fake.has_state[op] = true;
  qz_ypu_context_t *context = fake.make_context();
  ASSERT_NE(context, nullptr);
  EXPECT_EQ(context->refcount, 1);
  EXPECT_EQ(context->states[40], reinterpret_cast<void *>(41));
  EXPECT_EQ(events_like(fake.log, "init"),
            (std::vector<std::string>{"init 3", "init 40", "init 94"}));

  qz_ypu_buffer_release(context, fake.create(16));
  qz_ypu_buffer_release(context, fake.create(32));
  fake.log.clear();
  qz_ypu_context_destroy(context);
  EXPECT_EQ(fake.log,
            (std::vector<std::string>{"free_buffer", "free_buffer", "release 94", "release 40",
                                      "release 3", "host_free", "close"}));
  EXPECT_EQ(fake.live_buffers, 0);
  EXPECT_EQ(fake.live_host, 0);
}

TEST(ContextLifecycle, FailingStateInitReleasesWhatWasMade) {
  fake_backend fake;
  for (uint32_t op : {3u, 40u, 94u}) fake.has_state[op] = true;
  fake.fail_state_init_at = 40;
  EXPECT_EQ(fake.make_context(), nullptr);
  EXPECT_EQ(fake.log, (std::vector<std::string>{"init 3", "init 40", "release 3", "host_free"}));
  EXPECT_EQ(fake.live_host, 0);
  EXPECT_EQ(take_error_stack(),
            std::vector<std::string>{"0633a7d 00000321: Failed to init operator"});
}

TEST(ContextLifecycle, RecordAllocationFailure) {
  fake_backend fake;
  fake.fail_host_alloc = true;
  EXPECT_EQ(fake.make_context(), nullptr);
  EXPECT_EQ(fake.count("close"), 0);
  EXPECT_EQ(take_error_stack(),
            std::vector<std::string>{"0633a7d 00000323: Failed to allocate, out of memory."});
}

TEST(ContextLifecycle, DestroyedWhenTheLastReferenceGoes) {
  fake_backend fake;
  qz_ypu_context_t *context = fake.make_context();
  context->refcount = 2;
  qz_ypu_context_destroy(context);
  EXPECT_EQ(fake.count("close"), 0);
  EXPECT_EQ(context->refcount, 1);
  qz_ypu_context_destroy(context);
  EXPECT_EQ(fake.count("close"), 1);
  qz_ypu_context_destroy(nullptr);
}

TEST(Wrappers, CallTheirSlotsWithFixedModes) {
  fake_backend fake;
  qz_ypu_context_t *context = fake.make_context();
  const uint32_t backend = context->backend;
  void *device = context->device;
  qz_ypu_buffer_t *buffer = qz_ypu_buffer_create(backend, device, 4);
  ASSERT_NE(buffer, nullptr);
  const int32_t value = 7;
  fake.write(buffer, &value, 4);
  fake.log.clear();
  auto mapped = static_cast<int32_t *>(qz_ypu_buffer_map(backend, device, buffer));
  EXPECT_EQ(*mapped, 7);
  *mapped = 9;
  qz_ypu_buffer_unmap(backend, device, buffer);
  EXPECT_EQ(fake.log, (std::vector<std::string>{"map fetch", "unmap write"}));
  int32_t back = 0;
  fake.read(buffer, &back, 4);
  EXPECT_EQ(back, 9);
  qz_ypu_buffer_free(backend, device, buffer);
  void *host = qz_ypu_alloc(backend, device, 64);
  EXPECT_NE(host, nullptr);
  qz_ypu_free(backend, device, host);
  qz_ypu_context_destroy(context);
  EXPECT_EQ(fake.live_buffers, 0);
  EXPECT_EQ(fake.live_host, 0);
}

}  // namespace
