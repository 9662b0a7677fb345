// The Metal element-wise arithmetic and conversion kernels against the host
// implementations: bit for bit, as every formula here is the host's (the
// harness computes exp and log exactly, as the host's maths library does).
#include "metal_twin.h"

#include <functional>

#include "ypu/metal/ops.h"
#include "ypu/params.h"

namespace {

// One element, a SIMD-group and its neighbours, and a count that leaves
// partial threadgroups.
constexpr int32_t kSizes[] = {1, 31, 32, 33, 1000};

// The records' byte offsets are applied: every operand starts a few
// elements into its buffer, and the output's elements before its offset and
// after its count keep their bytes.
constexpr int32_t kOutSkip = 2, kTail = 3;

// Runs body(t, out, n) for every size, each on fresh twins with an output
// that starts kOutSkip elements of type Out into a buffer of guard bytes,
// then compares the whole buffer with the host's and checks the guards.
template <class Out, class Body>
void at_every_size(Body body) {
  constexpr unsigned char kGuard = 0xA5;
  for (int32_t n : kSizes) {
    SCOPED_TRACE(n);
    metal_twin t;
    const int32_t total = n + kOutSkip + kTail;
    const twin_buffer out = t.bytes(static_cast<int32_t>(sizeof(Out)) * total, kGuard);
    body(t, out, n);
    t.expect_same<Out>(out, total);
    const std::vector<Out> all = t.gpu_values<Out>(out, total);
    Out guard;
    std::memset(&guard, kGuard, sizeof(Out));
    for (int32_t i : {0, 1, n + kOutSkip, total - 1})
      EXPECT_EQ(std::memcmp(&all[i], &guard, sizeof(Out)), 0) << "element " << i << " was written";
  }
}

// An operation of a family that shares one record, with its kernel.
struct op_case {
  const char *name;
  uint32_t op;
  const char *kernel;
};

class MetalTwoInput : public MetalTest, public ::testing::WithParamInterface<op_case> {};

TEST_P(MetalTwoInput, MatchesHostBitForBit) {
  const op_case &c = GetParam();
  at_every_size<float>([&](metal_twin &t, const twin_buffer &out, int32_t n) {
    const twin_buffer a = t.buffer(random_floats(n + 1, -10, 10, n)),
                      b = t.buffer(random_floats(n + 3, 0.5f, 10, n + 1));
    t.run(c.op, c.kernel, [&](bool g) {
      return qz_ypu_two_input_params_t{out.on(g), a.on(g), b.on(g), n, 4 * kOutSkip, 4, 12};
    });
  });
}

INSTANTIATE_TEST_SUITE_P(Ops, MetalTwoInput,
                         ::testing::Values(op_case{"add", QZ_YPU_OP_ADD_F32, "taabe69"},
                                           op_case{"sub", QZ_YPU_OP_SUB_F32, "taabe98"},
                                           op_case{"mul", QZ_YPU_OP_MUL_F32, "taabe307"},
                                           op_case{"div", QZ_YPU_OP_DIV_F32, "taabe135"}),
                         [](const auto &info) { return std::string(info.param.name); });

class MetalAddSatI16 : public MetalTest {};

// The sum is taken in int32 and saturated at both ends.
TEST_F(MetalAddSatI16, SaturatesAtBothEnds) {
  const std::vector<int16_t> a{30000, -30000, 32767, -32768, 100, -1, 16384},
      b{10000, -10000, 1, -1, -300, 1, 16383};
  const std::vector<int16_t> expected{32767, -32768, 32767, -32768, -200, 0, 32767};
  metal_twin t;
  const int32_t n = static_cast<int32_t>(a.size());
  const twin_buffer out = t.bytes(2 * n), ta = t.buffer(a), tb = t.buffer(b);
  t.run(QZ_YPU_OP_ADD_SAT_I16, "taabe15", [&](bool g) {
    return qz_ypu_add_sat_i16_params_t{out.on(g), ta.on(g), tb.on(g), n, 0, 0, 0};
  });
  EXPECT_EQ(t.gpu_values<int16_t>(out, n), expected);
  t.expect_same<int16_t>(out, n);
}

TEST_F(MetalAddSatI16, MatchesHostAtEverySize) {
  at_every_size<int16_t>([](metal_twin &t, const twin_buffer &out, int32_t n) {
    const twin_buffer a = t.buffer(random_ints<int16_t>(n + 1, -32768, 32767, n)),
                      b = t.buffer(random_ints<int16_t>(n, -32768, 32767, n + 7));
    t.run(QZ_YPU_OP_ADD_SAT_I16, "taabe15", [&](bool g) {
      return qz_ypu_add_sat_i16_params_t{out.on(g), a.on(g), b.on(g), n, 2 * kOutSkip, 2, 0};
    });
  });
}

class MetalScalar : public MetalTest, public ::testing::WithParamInterface<op_case> {};

// The scalar's side matters for the two operations that are not symmetric.
TEST_P(MetalScalar, MatchesHostBitForBit) {
  const op_case &c = GetParam();
  at_every_size<float>([&](metal_twin &t, const twin_buffer &out, int32_t n) {
    const twin_buffer in = t.buffer(random_floats(n + 2, 0.25f, 9, n));
    t.run(c.op, c.kernel, [&](bool g) {
      return qz_ypu_scalar_params_t{out.on(g), in.on(g), -3.75f, n, 4 * kOutSkip, 8};
    });
  });
}

INSTANTIATE_TEST_SUITE_P(
    Ops, MetalScalar,
    ::testing::Values(op_case{"add_scalar", QZ_YPU_OP_ADD_SCALAR_F32, "taabe7"},
                      op_case{"scalar_div", QZ_YPU_OP_SCALAR_DIV_F32, "taabe75"},
                      op_case{"mul_scalar", QZ_YPU_OP_MUL_SCALAR_F32, "taabe143"},
                      op_case{"rsub_scalar", QZ_YPU_OP_RSUB_SCALAR_F32, "taabe213"}),
    [](const auto &info) { return std::string(info.param.name); });

// Unary operations over their own input types: a generator of the input
// bytes and the element sizes.
struct unary_case {
  const char *name;
  uint32_t op;
  const char *kernel;
  std::vector<unsigned char> (*input)(int32_t n);
  int32_t in_size, out_size;
};

template <class T>
std::vector<unsigned char> as_bytes(const std::vector<T> &v) {
  std::vector<unsigned char> b(v.size() * sizeof(T));
  std::memcpy(b.data(), v.data(), b.size());
  return b;
}

class MetalUnary : public MetalTest, public ::testing::WithParamInterface<unary_case> {};

TEST_P(MetalUnary, MatchesHostBitForBit) {
  const unary_case &c = GetParam();
  const auto body = [&](metal_twin &t, const twin_buffer &out, int32_t n) {
    const twin_buffer in = t.buffer(c.input(n + 1));
    t.run(c.op, c.kernel, [&](bool g) {
      return qz_ypu_unary_params_t{out.on(g), in.on(g), n, c.out_size * kOutSkip, c.in_size};
    });
  };
  if (c.out_size == 4)
    at_every_size<float>(body);
  else
    at_every_size<int16_t>(body);
}

INSTANTIATE_TEST_SUITE_P(
    Ops, MetalUnary,
    ::testing::Values(
        // 16777217 and its neighbours round to even.
        unary_case{"convert_i32", QZ_YPU_OP_CONVERT_I32_F32, "taabe133",
                   [](int32_t n) {
                     auto v = random_ints<int32_t>(n, INT32_MIN, INT32_MAX, n);
                     v[0] = 16777217;
                     if (n > 2) v[1] = -16777219, v[2] = INT32_MIN;
                     return as_bytes(v);
                   },
                   4, 4},
        unary_case{"convert_i16", QZ_YPU_OP_CONVERT_I16_F32, "taabe65",
                   [](int32_t n) { return as_bytes(random_ints<int16_t>(n, -32768, 32767, n)); },
                   2, 4},
        unary_case{"exp", QZ_YPU_OP_EXP_F32, "taabe238",
                   [](int32_t n) { return as_bytes(random_floats(n, -90, 90, n)); }, 4, 4},
        unary_case{"log", QZ_YPU_OP_LOG_F32, "taabe187",
                   [](int32_t n) { return as_bytes(random_floats(n, 1e-30f, 1e30f, n)); }, 4, 4},
        unary_case{"relu_f32", QZ_YPU_OP_RELU_F32, "taabe229",
                   [](int32_t n) { return as_bytes(random_floats(n, -5, 5, n)); }, 4, 4},
        unary_case{"relu_i16", QZ_YPU_OP_RELU_I16, "taabe138",
                   [](int32_t n) {
                     auto v = random_ints<int16_t>(n, -32768, 32767, n);
                     v[0] = -32768;
                     return as_bytes(v);
                   },
                   2, 2}),
    [](const auto &info) { return std::string(info.param.name); });

class MetalScaleBiasI16 : public MetalTest {};

// Op 50: the flag chooses rounding half up (0) or flooring (non-zero); the
// scale is an int16, negative ones included.
TEST_F(MetalScaleBiasI16, RoundsOrFloorsAndSaturates) {
  // x * scale: 1536 (1.5 units), -1536, 512 (0.5), -512, 2^30, -2^30.
  const std::vector<int16_t> in{3, -3, 1, -1, 32767, -32768, 0};
  struct row {
    int16_t scale;
    uint32_t truncate;
    std::vector<int16_t> expected;
  };
  const row rows[] = {
      {512, 0, {2, -1, 1, 0, 16384, -16384, 0}},
      {512, 1, {1, -2, 0, -1, 16383, -16384, 0}},
      {-512, 7, {-2, 1, -1, 0, -16384, 16384, 0}},
      {-32768, 0, {-96, 96, -32, 32, -32768, 32767, 0}},
  };
  for (const row &r : rows) {
    SCOPED_TRACE(r.scale);
    SCOPED_TRACE(r.truncate);
    metal_twin t;
    const int32_t n = static_cast<int32_t>(in.size());
    const twin_buffer out = t.bytes(2 * n), tin = t.buffer(in);
    t.run(QZ_YPU_OP_SCALE_BIAS_I16, "taabe182", [&](bool g) {
      return qz_ypu_scale_bias_i16_params_t{out.on(g), tin.on(g), r.scale, r.truncate, n, 0, 0};
    });
    EXPECT_EQ(t.gpu_values<int16_t>(out, n), r.expected);
    t.expect_same<int16_t>(out, n);
  }
}

TEST_F(MetalScaleBiasI16, MatchesHostAtEverySize) {
  for (uint32_t truncate : {0u, 1u}) {
    SCOPED_TRACE(truncate);
    at_every_size<int16_t>([&](metal_twin &t, const twin_buffer &out, int32_t n) {
      const twin_buffer in = t.buffer(random_ints<int16_t>(n + 1, -32768, 32767, n));
      t.run(QZ_YPU_OP_SCALE_BIAS_I16, "taabe182", [&](bool g) {
        return qz_ypu_scale_bias_i16_params_t{out.on(g), in.on(g), -1234, truncate,
                                              n,          2 * kOutSkip, 2};
      });
    });
  }
}

class MetalAffineColumnsI16 : public MetalTest {};

// Op 81 over shapes whose columns do not fill a SIMD-group, with extreme
// offsets and scales that saturate.
TEST_F(MetalAffineColumnsI16, MatchesHostOverShapes) {
  struct shape {
    int32_t rows, cols;
  };
  for (const shape s : {shape{1, 1}, shape{1, 40}, shape{7, 3}, shape{33, 33}, shape{5, 100}}) {
    SCOPED_TRACE(testing::Message() << s.rows << "x" << s.cols);
    const int32_t n = s.rows * s.cols;
    auto offsets = random_ints<int16_t>(s.cols, -32768, 32767, n);
    auto scales = random_ints<int16_t>(s.cols, -32768, 32767, n + 1);
    offsets[0] = -32768;
    scales[0] = 32767;
    metal_twin t;
    const twin_buffer out = t.bytes(2 * (n + kOutSkip + kTail), 0x5A),
                      in = t.buffer(random_ints<int16_t>(n + 3, -32768, 32767, n + 2)),
                      off = t.buffer(offsets), sc = t.buffer(scales);
    t.run(QZ_YPU_OP_AFFINE_COLUMNS_I16, "taabe127", [&](bool g) {
      return qz_ypu_affine_columns_i16_params_t{out.on(g), in.on(g), off.on(g),    sc.on(g),
                                                s.rows,    s.cols,   2 * kOutSkip, 6};
    });
    t.expect_same<int16_t>(out, n + kOutSkip + kTail);  // the host leaves the guards
  }
}

class MetalEmptyWork : public MetalTest {};

// Sizes that leave nothing to do: zero and negative counts, a row of one
// element (a grid of height 0), no source rows to clamp to. Each entry
// succeeds, writes nothing and hands the framework no grid at all.
TEST_F(MetalEmptyWork, SucceedsWithoutAPass) {
  metal_context gpu;
  qz_ypu_buffer_t *out = gpu.buffer(64, 0xEE), *in = gpu.buffer(64), *v = gpu.buffer(64);
  struct empty_case {
    const char *what;
    std::function<qz_status_t()> run;
  };
  const auto run = [&gpu](uint32_t op, auto params) { return gpu.run(op, &params); };
  const empty_case cases[] = {
      {"exp, count 0", [&] { return run(QZ_YPU_OP_EXP_F32, qz_ypu_unary_params_t{out, in, 0, 0, 0}); }},
      {"exp, count -5", [&] { return run(QZ_YPU_OP_EXP_F32, qz_ypu_unary_params_t{out, in, -5, 0, 0}); }},
      {"silu, count -1", [&] { return run(QZ_YPU_OP_SILU_F32, qz_ypu_unary_params_t{out, in, -1, 0, 0}); }},
      {"add, count -3",
       [&] { return run(QZ_YPU_OP_ADD_F32, qz_ypu_two_input_params_t{out, in, v, -3, 0, 0, 0}); }},
      {"add_scalar, count 0",
       [&] { return run(QZ_YPU_OP_ADD_SCALAR_F32, qz_ypu_scalar_params_t{out, in, 1, 0, 0, 0}); }},
      {"scale_bias, count -2",
       [&] {
         return run(QZ_YPU_OP_SCALE_BIAS_I16, qz_ypu_scale_bias_i16_params_t{out, in, 3, 0, -2, 0, 0});
       }},
      {"add_row, rows 0",
       [&] { return run(QZ_YPU_OP_ADD_ROW_F32, qz_ypu_broadcast_params_t{out, in, v, 0, 4, 0, 0, 0}); }},
      {"add_col, cols -1",
       [&] { return run(QZ_YPU_OP_ADD_COL_F32, qz_ypu_broadcast_params_t{out, in, v, 4, -1, 0, 0, 0}); }},
      {"affine_columns, rows -1",
       [&] {
         return run(QZ_YPU_OP_AFFINE_COLUMNS_I16,
                    qz_ypu_affine_columns_i16_params_t{out, in, v, v, -1, 4, 0, 0});
       }},
      {"add_bias_2d, batches 0",
       [&] { return run(QZ_YPU_OP_ADD_BIAS_2D_F32, qz_ypu_add_bias_2d_f32_params_t{out, in, v, 0, 2, 2}); }},
      {"reverse_rows, row length 1",
       [&] { return run(QZ_YPU_OP_REVERSE_ROWS, qz_ypu_reverse_rows_params_t{out, 3, 1, 0}); }},
      {"reverse_rows, rows -2",
       [&] { return run(QZ_YPU_OP_REVERSE_ROWS, qz_ypu_reverse_rows_params_t{out, -2, 4, 0}); }},
      {"gather_rows, count 0",
       [&] { return run(QZ_YPU_OP_GATHER_ROWS, qz_ypu_gather_rows_params_t{out, in, v, 0, 4}); }},
      {"gather_clamped, no source rows",
       [&] {
         return run(QZ_YPU_OP_GATHER_CLAMPED, qz_ypu_gather_clamped_params_t{out, in, 2, 2, 2, 0});
       }},
      {"transpose, rows 0",
       [&] { return run(QZ_YPU_OP_TRANSPOSE, qz_ypu_transpose_params_t{out, in, 1, 3, 0, 4}); }},
      {"embedding, tokens 0",
       [&] {
         return run(QZ_YPU_OP_EMBEDDING_SCALE_ADD_F32,
                    qz_ypu_embedding_scale_add_f32_params_t{out, in, v, v, 1, 0, 2, 0, 4});
       }},
  };
  for (const empty_case &c : cases) EXPECT_EQ(c.run(), QZ_STATUS_SUCCESS) << c.what;
  EXPECT_EQ(gpu.read<unsigned char>(out, 64), std::vector<unsigned char>(64, 0xEE));
  EXPECT_EQ(qz_metal_standin::standin().dispatches.size(), 0u);
  EXPECT_EQ(qz_metal_standin::standin().violations, std::vector<std::string>{});
  EXPECT_EQ(take_error_stack(), std::vector<std::string>{});
}

class MetalStateInit : public MetalTest {};

// Op 81's state init adds no message of its own to a pipeline's failure;
// the others follow it with the record without text.
TEST_F(MetalStateInit, PipelineFailureMessages) {
  const std::string pipeline = "0633a7d 00000341: Failed to load device specific code.",
                    chain = "0633a7d 00000320: Velthrane Error.";
  struct init_case {
    const char *kernel;
    qz_status_t (*init)(qz_ypu_metal_device_t *, void **);
    std::vector<std::string> messages;
  };
  const init_case cases[] = {
      {"taabe127", qz_ypu_metal_affine_columns_i16_init, {pipeline}},
      {"taabe182", qz_ypu_metal_scale_bias_i16_init, {pipeline, chain}},
      {"taabe47", qz_ypu_metal_silu_f32_init, {pipeline, chain}},
  };
  for (const init_case &c : cases) {
    SCOPED_TRACE(c.kernel);
    qz_ypu_metal_device_t *device = nullptr;
    ASSERT_EQ(qz_ypu_metal_device_open(0, &device), QZ_STATUS_SUCCESS);
    qz_metal_standin::standin().missing_functions = {c.kernel};
    void *state = &device;
    EXPECT_EQ(c.init(device, &state), QZ_STATUS_RUNTIME_ERROR);
    EXPECT_EQ(state, nullptr);
    EXPECT_EQ(take_error_stack(), c.messages);
    qz_ypu_metal_device_close(device);
  }
}

class MetalRefusedPass : public MetalTest {};

// A pass the framework does not take (no encoder) is reported by every
// entry, including silu's and affine_columns', so no caller goes on with
// results that were never computed.
TEST_F(MetalRefusedPass, EveryEntryReportsIt) {
  metal_context gpu;
  qz_ypu_buffer_t *out = gpu.buffer(64, 0xEE), *in = gpu.buffer(64), *v = gpu.buffer(64);
  const qz_ypu_unary_params_t unary{out, in, 4, 0, 0};
  const qz_ypu_affine_columns_i16_params_t affine{out, in, v, v, 2, 2, 0, 0};
  const qz_ypu_scale_bias_i16_params_t scale_bias{out, in, 3, 0, 4, 0, 0};
  const qz_ypu_reverse_rows_params_t reverse{out, 2, 4, 0};
  const qz_ypu_gather_clamped_params_t clamped{out, in, 2, 2, 2, 2};
  const std::pair<uint32_t, const void *> calls[] = {
      {QZ_YPU_OP_SILU_F32, &unary},          {QZ_YPU_OP_AFFINE_COLUMNS_I16, &affine},
      {QZ_YPU_OP_EXP_F32, &unary},           {QZ_YPU_OP_SCALE_BIAS_I16, &scale_bias},
      {QZ_YPU_OP_REVERSE_ROWS, &reverse},    {QZ_YPU_OP_GATHER_CLAMPED, &clamped},
  };
  qz_metal_standin::standin().encoders_fail = true;
  for (const auto &[op, params] : calls) {
    SCOPED_TRACE(op);
    EXPECT_EQ(gpu.run(op, params), QZ_STATUS_RUNTIME_ERROR);
    EXPECT_EQ(take_error_stack(),
              std::vector<std::string>{"0633a7d 00000343: Device state error."});
  }
  qz_metal_standin::standin().encoders_fail = false;
  EXPECT_EQ(gpu.read<unsigned char>(out, 64), std::vector<unsigned char>(64, 0xEE));
}

}  // namespace
