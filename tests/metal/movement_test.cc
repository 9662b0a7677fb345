// The Metal data-movement kernels against the host implementations, bit
// for bit: row reversal, row gathers, the clamped block gather, the batched
// transpose and the scaled embedding lookup.
#include "metal_twin.h"

#include "ypu/params.h"

namespace {

class MetalReverseRows : public MetalTest {};

// Op 24 in place at a byte offset: odd rows keep their middle element; the
// word before the offset and after the rows stays.
TEST_F(MetalReverseRows, MatchesHostOverShapes) {
  struct shape {
    int32_t rows, n;
  };
  for (const shape s : {shape{1, 2}, shape{1, 3}, shape{3, 5}, shape{40, 2}, shape{2, 67},
                        shape{5, 64}}) {
    SCOPED_TRACE(testing::Message() << s.rows << "x" << s.n);
    const int32_t n = s.rows * s.n;
    metal_twin t;
    const twin_buffer data = t.buffer(random_ints<uint32_t>(n + 2, INT32_MIN, INT32_MAX, n));
    t.run(QZ_YPU_OP_REVERSE_ROWS, "taabe154", [&](bool g) {
      return qz_ypu_reverse_rows_params_t{data.on(g), s.rows, s.n, 4};
    });
    t.expect_same<uint32_t>(data, n + 2);
  }
  metal_twin t;
  const twin_buffer data = t.buffer(std::vector<uint32_t>{9, 1, 2, 3, 4, 5, 6, 9});
  t.run(QZ_YPU_OP_REVERSE_ROWS, "taabe154",
        [&](bool g) { return qz_ypu_reverse_rows_params_t{data.on(g), 2, 3, 4}; });
  EXPECT_EQ(t.gpu_values<uint32_t>(data, 8), (std::vector<uint32_t>{9, 3, 2, 1, 6, 5, 4, 9}));
}

class MetalGatherRows : public MetalTest {};

// Op 31: rows of any byte length, indices repeated and out of order.
TEST_F(MetalGatherRows, MatchesHostOverRowLengths) {
  for (int32_t row_bytes : {1, 3, 4, 17, 64}) {
    SCOPED_TRACE(row_bytes);
    const int32_t source_rows = 9, count = 37;
    metal_twin t;
    const twin_buffer out = t.bytes(row_bytes * (count + 1), 0xEE),
                      src = t.buffer(random_ints<uint8_t>(row_bytes * source_rows, 0, 255, 3)),
                      idx = t.buffer(random_ints<int32_t>(count, 0, source_rows - 1, row_bytes));
    t.run(QZ_YPU_OP_GATHER_ROWS, "taabe202", [&](bool g) {
      return qz_ypu_gather_rows_params_t{out.on(g), src.on(g), idx.on(g), count, row_bytes};
    });
    t.expect_same<uint8_t>(out, row_bytes * (count + 1));
  }
}

class MetalGatherClamped : public MetalTest {};

// Op 57: equal block counts and rows, more rows than blocks and fewer,
// and source rows few enough that the clamp acts at both ends.
TEST_F(MetalGatherClamped, MatchesHostOverShapes) {
  struct shape {
    int32_t blocks, rows, words, source_rows;
  };
  for (const shape s : {shape{4, 4, 3, 8}, shape{2, 6, 5, 20}, shape{6, 2, 1, 20},
                        shape{5, 3, 33, 2}, shape{3, 7, 2, 1}, shape{1, 1, 1, 1}}) {
    SCOPED_TRACE(testing::Message() << s.blocks << "," << s.rows << "," << s.words << ","
                                    << s.source_rows);
    const int32_t n = s.blocks * s.rows * s.words;
    metal_twin t;
    const twin_buffer out = t.bytes(4 * (n + 1), 0xEE),
                      src = t.buffer(random_ints<uint32_t>(s.source_rows * s.words, INT32_MIN,
                                                           INT32_MAX, n));
    t.run(QZ_YPU_OP_GATHER_CLAMPED, "taabe19", [&](bool g) {
      return qz_ypu_gather_clamped_params_t{out.on(g), src.on(g), s.blocks,
                                            s.rows,    s.words,   s.source_rows};
    });
    t.expect_same<uint32_t>(out, n + 1);
  }
}

// With equal counts every block reads its rows backwards from row i + K - 1.
TEST_F(MetalGatherClamped, EqualCountsFixture) {
  metal_twin t;
  const twin_buffer out = t.bytes(4 * 9), src = t.buffer(std::vector<uint32_t>{10, 11, 12, 13});
  t.run(QZ_YPU_OP_GATHER_CLAMPED, "taabe19", [&](bool g) {
    return qz_ypu_gather_clamped_params_t{out.on(g), src.on(g), 3, 3, 1, 4};
  });
  EXPECT_EQ(t.gpu_values<uint32_t>(out, 9),
            (std::vector<uint32_t>{12, 11, 10, 13, 12, 11, 13, 13, 12}));
}

class MetalTranspose : public MetalTest {};

// Op 88 with elements of 1 to 8 bytes, single rows and columns, and several
// blocks.
TEST_F(MetalTranspose, MatchesHostOverShapesAndElementSizes) {
  struct shape {
    int32_t batch, cols, rows;
  };
  for (int32_t bytes : {1, 2, 4, 8}) {
    for (const shape s : {shape{1, 1, 5}, shape{1, 6, 1}, shape{1, 3, 2}, shape{3, 33, 7},
                          shape{2, 5, 40}}) {
      SCOPED_TRACE(testing::Message() << bytes << " bytes, " << s.batch << "x" << s.rows << "x"
                                      << s.cols);
      const int32_t total = s.batch * s.cols * s.rows * bytes;
      metal_twin t;
      const twin_buffer out = t.bytes(total + 8, 0xEE),
                        in = t.buffer(random_ints<uint8_t>(total, 0, 255, total));
      t.run(QZ_YPU_OP_TRANSPOSE, "taabe27", [&](bool g) {
        return qz_ypu_transpose_params_t{out.on(g), in.on(g), s.batch, s.cols, s.rows, bytes};
      });
      t.expect_same<uint8_t>(out, total + 8);
    }
  }
}

class MetalEmbeddingScaleAdd : public MetalTest {};

// Op 22: ids in any order, positional rows from `start`.
TEST_F(MetalEmbeddingScaleAdd, MatchesHostOverShapes) {
  struct shape {
    int32_t outer, inner, width, start;
  };
  for (const shape s : {shape{1, 1, 1, 0}, shape{2, 3, 33, 4}, shape{4, 40, 8, 1},
                        shape{1, 5, 100, 0}}) {
    SCOPED_TRACE(testing::Message() << s.outer << "x" << s.inner << "x" << s.width);
    const int32_t vocabulary = 11, positions = s.start + s.inner + 2,
                  rows = s.outer * s.inner;
    metal_twin t;
    const twin_buffer out = t.bytes(4 * (rows * s.width + 1), 0xEE),
                      ids = t.buffer(random_ints<int32_t>(rows, 0, vocabulary - 1, rows)),
                      table = t.buffer(random_floats(vocabulary * s.width, -1, 1, s.width)),
                      add = t.buffer(random_floats(positions * s.width, -1, 1, s.width + 1));
    t.run(QZ_YPU_OP_EMBEDDING_SCALE_ADD_F32, "taabe316", [&](bool g) {
      return qz_ypu_embedding_scale_add_f32_params_t{out.on(g), ids.on(g), table.on(g),
                                                     add.on(g), 5.65625f,  s.start,
                                                     s.outer,   s.inner,   s.width};
    });
    t.expect_same<float>(out, rows * s.width + 1);
  }
}

}  // namespace
