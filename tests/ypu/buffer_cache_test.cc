#include <gtest/gtest.h>

#include "support/fake_backend.h"

namespace {

class BufferCache : public testing::Test {
 protected:
  void SetUp() override { context_ = fake_.make_context(); }
  void TearDown() override {
    qz_ypu_context_destroy(context_);
    EXPECT_EQ(fake_.live_buffers, 0);
  }
  // Puts a buffer of `size` bytes straight into a slot.
  qz_ypu_buffer_t *place(int slot, int32_t size, int32_t age = 1) {
    qz_ypu_buffer_t *buffer = fake_.create(size);
    context_->cache[slot] = {buffer, age};
    return buffer;
  }
  int occupied() const {
    int n = 0;
    for (const auto &slot : context_->cache) n += slot.buffer != nullptr;
    return n;
  }
  fake_backend fake_;
  qz_ypu_context_t *context_ = nullptr;
};

TEST_F(BufferCache, AcquireChoosesExactFitThenSmallestLarger) {
  const int32_t n = 100;
  struct layout {
    int slot;
    int32_t size;
  };
  struct {
    std::vector<layout> cached;
    int expected_slot;  // -1: a new buffer
  } cases[] = {
      {{{3, n + 8}, {10, n}}, 10},
      {{{2, n + 16}, {5, n + 8}, {7, n + 8}}, 5},
      {{{1, n - 4}, {2, n - 1}}, -1},
      {{}, -1},
  };
  for (const auto &c : cases) {
    qz_ypu_buffer_t *expected = nullptr;
    for (const auto &l : c.cached) {
      qz_ypu_buffer_t *b = place(l.slot, l.size);
      if (l.slot == c.expected_slot) expected = b;
    }
    const int before = occupied();
    const int creates = fake_.buffer_creates;
    qz_ypu_buffer_t *got = qz_ypu_buffer_acquire(context_, n);
    ASSERT_NE(got, nullptr);
    if (expected) {
      EXPECT_EQ(got, expected);
      EXPECT_EQ(context_->cache[c.expected_slot].buffer, nullptr);
      EXPECT_EQ(occupied(), before - 1);
    } else {
      EXPECT_EQ(fake_.buffer_creates, creates + 1);
      EXPECT_EQ(occupied(), before);
    }
    fake_.destroy(got);
    for (auto &slot : context_->cache) {
      fake_.destroy(slot.buffer);
      slot = {};
    }
  }
}

TEST_F(BufferCache, AcquireFailureLeavesTheCacheAlone) {
  place(4, 10);
  fake_.fail_buffer_create_after = 0;
  EXPECT_EQ(qz_ypu_buffer_acquire(context_, 64), nullptr);
  EXPECT_EQ(occupied(), 1);
}

TEST_F(BufferCache, ReleaseFillsSlotsFromOneAndNeverSlotZero) {
  for (int i = 1; i <= 63; ++i) {
    qz_ypu_buffer_t *b = fake_.create(8);
    qz_ypu_buffer_release(context_, b);
    EXPECT_EQ(context_->cache[i].buffer, b);
    EXPECT_EQ(context_->cache[i].age, 0);
  }
  EXPECT_EQ(context_->cache[0].buffer, nullptr);
  // Full: the oldest (slot 1, age 63 after this release's ageing) goes.
  const int frees = fake_.buffer_frees;
  qz_ypu_buffer_t *b = fake_.create(8);
  qz_ypu_buffer_release(context_, b);
  EXPECT_EQ(context_->cache[1].buffer, b);
  EXPECT_EQ(fake_.buffer_frees, frees + 1);
  EXPECT_EQ(context_->cache[0].buffer, nullptr);
  EXPECT_EQ(occupied(), 63);
}

TEST_F(BufferCache, EvictionTakesTheGreatestAgeLowestSlotAmongEquals) {
  for (int i = 1; i <= 63; ++i) place(i, 8, i == 20 || i == 30 ? 9 : 5);
  qz_ypu_buffer_t *evicted = context_->cache[20].buffer;
  qz_ypu_buffer_t *b = fake_.create(8);
  const int frees = fake_.buffer_frees;
  qz_ypu_buffer_release(context_, b);
  EXPECT_EQ(context_->cache[20].buffer, b);
  EXPECT_NE(context_->cache[20].buffer, evicted);
  EXPECT_EQ(context_->cache[30].age, 10);
  EXPECT_EQ(fake_.buffer_frees, frees + 1);
}

TEST_F(BufferCache, BuffersAgeOutAfter128FurtherReleases) {
  qz_ypu_buffer_t *kept = fake_.create(8);
  qz_ypu_buffer_release(context_, kept);
  ASSERT_EQ(context_->cache[1].buffer, kept);
  // Other buffers cycle through an acquire/release pair so the cache stays
  // small; each release ages the kept buffer.
  for (int i = 0; i < 128; ++i) qz_ypu_buffer_release(context_, qz_ypu_buffer_acquire(context_, 4096));
  EXPECT_EQ(context_->cache[1].buffer, kept);
  EXPECT_EQ(context_->cache[1].age, 128);
  qz_ypu_buffer_release(context_, qz_ypu_buffer_acquire(context_, 4096));
  EXPECT_NE(context_->cache[1].buffer, kept);
  EXPECT_EQ(context_->cache[1].age, 0);  // the released buffer took the freed slot
}

TEST_F(BufferCache, ReleasingNullChangesNothing) {
  place(5, 8, 3);
  qz_ypu_buffer_release(context_, nullptr);
  EXPECT_EQ(context_->cache[5].age, 3);
}

TEST_F(BufferCache, DestroyFreesEveryCachedBuffer) {
  for (int i = 0; i < 10; ++i) qz_ypu_buffer_release(context_, fake_.create(8 * (i + 1)));
  EXPECT_EQ(fake_.live_buffers, 10);
  // TearDown checks none is left.
}

}  // namespace
