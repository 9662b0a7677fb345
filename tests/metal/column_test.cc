// The Metal column of the dispatch tables against the operation list: every
// operation has an execute entry and a state (init and release) except the
// six composites, which run on the host and reach the Metal entries of
// their parts; the four blit operations have an execute entry and no state.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "ypu/metal/device.h"
#include "ypu/ypu.h"

namespace {

constexpr uint32_t kComposites[] = {61, 63, 64, 67, 68, 73};
constexpr uint32_t kBlits[] = {42, 44, 52, 89};

bool listed(const uint32_t *begin, const uint32_t *end, uint32_t op) {
  return std::find(begin, end, op) != end;
}

std::string ids(const std::vector<uint32_t> &ops) {
  std::string text;
  for (uint32_t op : ops) text += " " + std::to_string(op);
  return text;
}

TEST(MetalColumn, HoldsEveryOpOfTheList) {
  const qz_ypu_backend_t &column = QZ_YPU_METAL_BACKEND;
  std::vector<uint32_t> missing, unexpected;
  int executes = 0, states = 0;
  // The op list's own Metal column (0 none, 1 execute only, 2 all three).
  constexpr int kMetalKind[] = {
#define QZ_YPU_OP(id, NAME, name, cpu, cuda, metal) metal,
#include "ypu/ops.inc"
#undef QZ_YPU_OP
  };
  for (uint32_t op = 0; op < QZ_YPU_OP_COUNT; ++op) {
    const bool composite = listed(std::begin(kComposites), std::end(kComposites), op);
    const bool blit = listed(std::begin(kBlits), std::end(kBlits), op);
    EXPECT_EQ(kMetalKind[op], composite ? 0 : blit ? 1 : 2) << "op " << op << " in ops.inc";
    const bool has_execute = column.execute[op] != nullptr;
    const bool has_init = column.state_init[op] != nullptr;
    const bool has_release = column.state_release[op] != nullptr;
    executes += has_execute;
    states += has_init && has_release;
    if (composite) {
      if (has_execute || has_init || has_release) unexpected.push_back(op);
    } else if (blit) {
      if (!has_execute) missing.push_back(op);
      if (has_init || has_release) unexpected.push_back(op);
    } else if (!has_execute || !has_init || !has_release) {
      missing.push_back(op);
    }
  }
  EXPECT_TRUE(missing.empty()) << "operations without their Metal entries:" << ids(missing);
  EXPECT_TRUE(unexpected.empty()) << "entries the list does not have:" << ids(unexpected);
  EXPECT_EQ(executes, 89);
  EXPECT_EQ(states, 85);
}

}  // namespace
