// The blit operations through the Metal column on the stand-in, each
// compared byte for byte with the host implementation run on the same
// context over the same inputs.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "support/error_stack.h"
#include "support/metal_context.h"
#include "support/metal_standin.h"
#include "support/metal_test.h"
#include "ypu/params.h"

namespace {

using qz_metal_standin::standin;

class MetalBlit : public MetalTest {};

std::vector<unsigned char> pattern(size_t bytes) {
  std::vector<unsigned char> v(bytes);
  for (size_t i = 0; i < bytes; ++i) v[i] = static_cast<unsigned char>(i * 7 + 1);
  return v;
}

// Runs `op` once on the GPU and once on the host over fresh copies of the
// same input and output bytes; returns both outputs and statuses.
struct twin_result {
  std::vector<unsigned char> gpu, host;
  qz_status_t gpu_status, host_status;
  int copies, fills;
};

template <class Record>
twin_result twin(uint32_t op, Record record, int32_t in_bytes, int32_t out_bytes) {
  twin_result r{};
  metal_context gpu;
  const std::vector<unsigned char> in = pattern(static_cast<size_t>(in_bytes));
  for (const bool host : {false, true}) {
    qz_ypu_buffer_t *out = gpu.buffer(out_bytes, 0xAB);
    qz_ypu_buffer_t *source = in_bytes ? gpu.buffer(in) : nullptr;
    Record p = record;
    p.out = out;
    if constexpr (requires { p.in; }) p.in = source;
    gpu.context()->flags = host ? QZ_YPU_CONTEXT_HOST_ONLY : 0;
    const int copies = standin().copies, fills = standin().fills;
    const qz_status_t status = gpu.run(op, &p);
    (host ? r.host_status : r.gpu_status) = status;
    if (!host) r.copies = standin().copies - copies, r.fills = standin().fills - fills;
    (host ? r.host : r.gpu) = gpu.read<unsigned char>(out, static_cast<size_t>(out_bytes));
  }
  return r;
}

// fill_zero's record names its buffer `data`: the same twin over it.
twin_result twin_fill(qz_ypu_fill_zero_params_t record, int32_t bytes) {
  twin_result r{};
  metal_context gpu;
  for (const bool host : {false, true}) {
    qz_ypu_buffer_t *data = gpu.buffer(pattern(static_cast<size_t>(bytes)));
    record.data = data;
    gpu.context()->flags = host ? QZ_YPU_CONTEXT_HOST_ONLY : 0;
    const int fills = standin().fills;
    (host ? r.host_status : r.gpu_status) = gpu.run(QZ_YPU_OP_FILL_ZERO, &record);
    if (!host) r.fills = standin().fills - fills;
    (host ? r.host : r.gpu) = gpu.read<unsigned char>(data, static_cast<size_t>(bytes));
  }
  return r;
}

// The bytes of a [a][b][c][d] array of 32-bit elements (at least 4, so that
// every buffer exists).
int32_t words(int32_t a, int32_t b, int32_t c, int32_t d) { return std::max(a * b * c * d * 4, 4); }

struct copy_case {
  const char *name;
  int32_t count, out_offset, in_offset;
  int copies;  // 0: declined to the host or nothing to do
};

class MetalCopyBytes : public MetalBlit, public ::testing::WithParamInterface<copy_case> {};

TEST_P(MetalCopyBytes, MatchesTheHost) {
  const copy_case &c = GetParam();
  const qz_ypu_copy_bytes_params_t p{nullptr, nullptr, c.count, c.out_offset, c.in_offset};
  const twin_result r = twin(QZ_YPU_OP_COPY_BYTES, p, 64, 64);
  EXPECT_EQ(r.gpu_status, QZ_STATUS_SUCCESS);
  EXPECT_EQ(r.host_status, QZ_STATUS_SUCCESS);
  EXPECT_EQ(r.gpu, r.host);
  EXPECT_EQ(r.copies, c.copies);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MetalCopyBytes,
    ::testing::Values(copy_case{"Whole", 64, 0, 0, 1}, copy_case{"Offsets", 24, 8, 36, 1},
                      copy_case{"Nothing", 0, 0, 0, 0}, copy_case{"Negative", -4, 0, 0, 0},
                      // Byte-granular copies cannot be blits on macOS: the host does them.
                      copy_case{"OddCount", 7, 0, 0, 0}, copy_case{"OddOutOffset", 8, 2, 0, 0},
                      copy_case{"OddInOffset", 8, 0, 1, 0}),
    [](const auto &info) { return std::string(info.param.name); });

struct fill_case {
  const char *name;
  int32_t count, offset;
  int fills;
};

class MetalFillZero : public MetalBlit, public ::testing::WithParamInterface<fill_case> {};

TEST_P(MetalFillZero, MatchesTheHost) {
  const fill_case &c = GetParam();
  const twin_result r = twin_fill({nullptr, c.count, c.offset}, 48);
  EXPECT_EQ(r.gpu_status, QZ_STATUS_SUCCESS);
  EXPECT_EQ(r.host_status, QZ_STATUS_SUCCESS);
  EXPECT_EQ(r.gpu, r.host);
  EXPECT_EQ(r.fills, c.fills);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MetalFillZero,
    ::testing::Values(fill_case{"Whole", 48, 0, 1}, fill_case{"Middle", 16, 12, 1},
                      fill_case{"Nothing", 0, 4, 0}, fill_case{"OddCount", 6, 4, 0},
                      fill_case{"OddOffset", 8, 2, 0}),
    [](const auto &info) { return std::string(info.param.name); });

struct pad_case {
  const char *name;
  int32_t batch, out_rows, out_cols, in_rows, in_cols, depth;
  bool blits;  // false: declined to the host or nothing to do
};

class MetalZeroPad : public MetalBlit, public ::testing::WithParamInterface<pad_case> {};

TEST_P(MetalZeroPad, MatchesTheHost) {
  const pad_case &c = GetParam();
  const qz_ypu_zero_pad_2d_params_t p{nullptr,   nullptr,   c.batch,   c.out_rows,
                                      c.out_cols, c.in_rows, c.in_cols, c.depth};
  const twin_result r = twin(QZ_YPU_OP_ZERO_PAD_2D, p, words(c.batch, c.in_rows, c.in_cols, c.depth),
                             words(c.batch, c.out_rows, c.out_cols, c.depth));
  EXPECT_EQ(r.gpu_status, QZ_STATUS_SUCCESS);
  EXPECT_EQ(r.host_status, QZ_STATUS_SUCCESS);
  EXPECT_EQ(r.gpu, r.host);
  EXPECT_EQ(r.copies + r.fills > 0, c.blits);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MetalZeroPad,
    ::testing::Values(pad_case{"Unchanged", 2, 3, 4, 3, 4, 2, true},
                      pad_case{"PaddedRowsAndColumns", 3, 5, 4, 2, 3, 2, true},
                      pad_case{"PaddedColumnsOnly", 2, 3, 5, 3, 2, 1, true},
                      pad_case{"PaddedRowsOnly", 2, 4, 3, 1, 3, 3, true},
                      pad_case{"EmptyInput", 2, 2, 3, 0, 0, 1, true},
                      // An input larger than its block is clipped, by the host.
                      pad_case{"InputWiderThanOutput", 2, 3, 2, 2, 3, 1, false},
                      pad_case{"InputTallerThanOutput", 1, 2, 2, 3, 2, 1, false},
                      pad_case{"NoBatch", 0, 2, 2, 2, 2, 1, false}),
    [](const auto &info) { return std::string(info.param.name); });

// The padding is written, not left: every byte outside the copied corner of
// every block becomes 0 over an output that held other bytes.
TEST_F(MetalBlit, ZeroPadZeroesEveryBorderByte) {
  metal_context gpu;
  const int32_t batch = 2, out_rows = 3, out_cols = 4, in_rows = 2, in_cols = 3;
  std::vector<uint32_t> in(batch * in_rows * in_cols);
  for (size_t i = 0; i < in.size(); ++i) in[i] = 0x1000u + static_cast<uint32_t>(i);
  qz_ypu_buffer_t *out = gpu.buffer(batch * out_rows * out_cols * 4, 0xAB);
  const qz_ypu_zero_pad_2d_params_t p{out, gpu.buffer(in), batch, out_rows, out_cols,
                                      in_rows, in_cols, 1};
  ASSERT_EQ(gpu.run(QZ_YPU_OP_ZERO_PAD_2D, &p), QZ_STATUS_SUCCESS);
  EXPECT_EQ(standin().copies, batch * in_rows) << "done by blits, not by the host";
  const std::vector<uint32_t> got = gpu.read<uint32_t>(out, batch * out_rows * out_cols);
  for (int b = 0; b < batch; ++b)
    for (int r = 0; r < out_rows; ++r)
      for (int q = 0; q < out_cols; ++q) {
        const uint32_t expected =
            r < in_rows && q < in_cols ? in[(b * in_rows + r) * in_cols + q] : 0u;
        EXPECT_EQ(got[(b * out_rows + r) * out_cols + q], expected) << b << " " << r << " " << q;
      }
}

struct block_case {
  const char *name;
  int32_t batch, rows, sub_rows, in_rows, in_sub_rows, width;
  qz_status_t status;
};

class MetalCopyBlock : public MetalBlit, public ::testing::WithParamInterface<block_case> {};

TEST_P(MetalCopyBlock, MatchesTheHost) {
  const block_case &c = GetParam();
  const qz_ypu_copy_block_params_t p{nullptr, nullptr,  c.batch,       c.rows,
                                     c.sub_rows, c.in_rows, c.in_sub_rows, c.width};
  const twin_result r = twin(QZ_YPU_OP_COPY_BLOCK, p, words(c.batch, c.in_rows, c.in_sub_rows, c.width),
                             words(c.batch, c.rows, c.sub_rows, c.width));
  EXPECT_EQ(r.gpu_status, c.status);
  EXPECT_EQ(r.host_status, c.status);
  EXPECT_EQ(r.gpu, r.host);
  if (c.status == QZ_STATUS_SUCCESS && c.batch > 0) {
    EXPECT_EQ(r.copies, c.batch * c.rows) << "one copy per row";
  }
  take_error_stack();
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MetalCopyBlock,
    ::testing::Values(block_case{"Unchanged", 2, 3, 4, 3, 4, 2, QZ_STATUS_SUCCESS},
                      block_case{"LeadingPart", 3, 2, 3, 4, 5, 2, QZ_STATUS_SUCCESS},
                      block_case{"OneRow", 1, 1, 1, 5, 2, 3, QZ_STATUS_SUCCESS},
                      block_case{"NoBatch", 0, 2, 2, 2, 2, 1, QZ_STATUS_SUCCESS},
                      // Rows past the input block: declined, refused by the host.
                      block_case{"RowsPastInput", 2, 4, 2, 3, 2, 1, QZ_STATUS_INVALID_ARGUMENT},
                      block_case{"SubRowsPastInput", 2, 2, 3, 2, 2, 1,
                                 QZ_STATUS_INVALID_ARGUMENT}),
    [](const auto &info) { return std::string(info.param.name); });

// Blits and compute passes share the batching: four blit passes commit.
TEST_F(MetalBlit, BlitPassesCountTowardsTheCommit) {
  metal_context gpu;
  qz_ypu_buffer_t *data = gpu.buffer(16, 1);
  const int commits = standin().commits;
  const qz_ypu_fill_zero_params_t p{data, 16, 0};
  for (int i = 0; i < 3; ++i) ASSERT_EQ(gpu.run(QZ_YPU_OP_FILL_ZERO, &p), QZ_STATUS_SUCCESS);
  EXPECT_EQ(standin().commits, commits);
  ASSERT_EQ(gpu.run(QZ_YPU_OP_FILL_ZERO, &p), QZ_STATUS_SUCCESS);
  EXPECT_EQ(standin().commits, commits + 1);
  EXPECT_EQ(gpu.read<uint32_t>(data, 4), (std::vector<uint32_t>{0, 0, 0, 0}));
}

}  // namespace
