// Shapes the host implementation accepts but a grid of the plain size cannot
// hold: more blocks in y or z than the device allows, or more threads than
// a block holds. Every entry must stay inside the device's limits and loop
// over the rest, giving the host's results. The entries read the grid
// limits from the device, so a device with grids of 3 blocks in y and z
// drives each op past them at a few blocks' cost (the broadcasts' long rows
// in broadcast_test.cc run past the real limit of 65535).
#include "twin.h"
#include "rotary_bounds.h"

#include <string>

#include "ypu/params.h"

namespace {

using qz_gpu_harness::kDeviceMaths;

constexpr int32_t kSmallGrid = 3;

struct launch_case {
  const char *name;
  int32_t grid_limit;  // the device's y and z grid limit
  void (*run)(twin &t);
};

void broadcasts(twin &t) {
  const int32_t rows = 2, cols = 8 * kSmallGrid + 1, n = rows * cols;
  for (uint32_t op : {QZ_YPU_OP_ADD_ROW_F32, QZ_YPU_OP_ADD_COL_F32, QZ_YPU_OP_FMA_ROW_F32,
                      QZ_YPU_OP_DIV_ROW_F32, QZ_YPU_OP_MUL_ROW_F32, QZ_YPU_OP_MUL_COL_F32,
                      QZ_YPU_OP_SUB_ROW_F32, QZ_YPU_OP_SUB_COL_F32}) {
    SCOPED_TRACE(op);
    const twin_buffer out = t.buffer(random_floats(n, -1, 1, 3)),
                      a = t.buffer(random_floats(n, -10, 10, 4)),
                      v = t.buffer(random_floats(cols, 0.5f, 4, 5));
    t.run(op, [&](bool g) {
      return qz_ypu_broadcast_params_t{out.on(g), a.on(g), v.on(g), rows, cols, 0, 0, 0};
    });
    // The device fuses op 47's multiply-add, which the host rounds twice.
    if (op == QZ_YPU_OP_FMA_ROW_F32)
      t.expect_close(out, n, 2e-7f, 1e-7f);
    else
      t.expect_same<float>(out, n);
  }
}

// Op 11 by both kernels: four channels per block of the per-value kernel
// (3 input channels), sixteen per block of the vector kernel (4).
void conv1d(twin &t, int32_t rows, int32_t out_ch, int32_t in_ch, int32_t taps) {
  const int32_t n = rows * out_ch;
  const twin_buffer out = t.bytes(4 * n, 0xFF),
                    w = t.buffer(random_ints<int8_t>(out_ch * taps * in_ch, -128, 127, 1)),
                    x = t.buffer(random_ints<int16_t>((rows + taps - 1) * in_ch, -32768, 32767, 2));
  t.run(QZ_YPU_OP_CONV1D_I8I16, [&](bool g) {
    return qz_ypu_conv1d_i8i16_params_t{out.on(g), w.on(g), x.on(g), rows, out_ch, in_ch, taps,
                                        0,         0,       0};
  });
  t.expect_same<int32_t>(out, n);
}

void linear(twin &t) {
  struct shape {
    uint32_t op;
    int32_t out_n, in_n;  // which kernel: see matmul_test.cc
  } shapes[] = {{QZ_YPU_OP_LINEAR_ACC_I8I16, 17, 6},
                {QZ_YPU_OP_LINEAR_ACC_I8I16, 1024, 4},
                {QZ_YPU_OP_LINEAR_I8I16, 17, 8},
                {QZ_YPU_OP_LINEAR_I8I16, 5, 6}};
  const int32_t tokens = kSmallGrid + 1;
  for (const shape s : shapes) {
    SCOPED_TRACE(std::to_string(s.op) + ": " + std::to_string(s.out_n) + "x" +
                 std::to_string(s.in_n));
    const twin_buffer out = t.buffer(random_ints<int16_t>(tokens * s.out_n, -32768, 32767, 1)),
                      x = t.buffer(random_ints<int16_t>(tokens * s.in_n, -32768, 32767, 2)),
                      w = t.buffer(random_ints<int8_t>(s.out_n * s.in_n, -128, 127, 3)),
                      bias = t.buffer(random_ints<int8_t>(s.out_n, -128, 127, 4));
    t.run(s.op, [&](bool g) {
      return qz_ypu_linear_i8i16_params_t{out.on(g), x.on(g), w.on(g), bias.on(g), tokens,
                                          s.out_n,   s.in_n,  0,       0};
    });
    t.expect_same<int16_t>(out, tokens * s.out_n);
  }
}

void embedding(twin &t) {
  const int32_t batch = 2, tokens = kSmallGrid + 1, width = 5, vocab = 7, start = 2;
  const int32_t n = batch * tokens * width;
  const twin_buffer out = t.bytes(4 * n, 0xFF),
                    ids = t.buffer(random_ints<int32_t>(batch * tokens, 0, vocab - 1, 1)),
                    table = t.buffer(random_floats(vocab * width, -1, 1, 2)),
                    add = t.buffer(random_floats((tokens + start) * width, -1, 1, 3));
  t.run(QZ_YPU_OP_EMBEDDING_SCALE_ADD_F32, [&](bool g) {
    return qz_ypu_embedding_scale_add_f32_params_t{out.on(g), ids.on(g), table.on(g), add.on(g),
                                                   2.5f,      start,     batch,       tokens,
                                                   width};
  });
  // One fused multiply-add on the device, two roundings on the host.
  t.expect_close(out, n, 2e-7f, 1e-7f);
}

void affine_columns(twin &t) {
  const int32_t rows = 16 * kSmallGrid + 1, cols = 3, n = rows * cols;
  const twin_buffer out = t.bytes(2 * n, 0xFF),
                    in = t.buffer(random_ints<int16_t>(n, -32768, 32767, 1)),
                    offsets = t.buffer(random_ints<int16_t>(cols, -2000, 2000, 2)),
                    scales = t.buffer(random_ints<int16_t>(cols, -32768, 32767, 3));
  t.run(QZ_YPU_OP_AFFINE_COLUMNS_I16, [&](bool g) {
    return qz_ypu_affine_columns_i16_params_t{out.on(g), in.on(g), offsets.on(g), scales.on(g),
                                              rows,      cols,     0,             0};
  });
  t.expect_same<int16_t>(out, n);
}

// More dimensions than a block has threads. A window of one position:
// value * weight / weight, within a rounding or two of the value on either
// side whatever the weight.
void gaussian(twin &t) {
  const int32_t rows = 2, positions = 3, channels = 1025, n = rows * channels;
  const twin_buffer out = t.bytes(4 * n, 0xFF),
                    values = t.buffer(random_floats(positions * channels, -2, 2, 1)),
                    widths = t.buffer(random_floats(positions, 0.5f, 3, 2)),
                    centres = t.buffer(random_floats(positions, 0, float(rows), 3)),
                    anchors = t.buffer(random_ints<int32_t>(rows, 0, positions - 1, 4));
  t.run(QZ_YPU_OP_GAUSSIAN_WEIGHTS_F32, [&](bool g) {
    return qz_ypu_gaussian_weights_f32_params_t{out.on(g), values.on(g), widths.on(g),
                                                centres.on(g), anchors.on(g), rows, positions,
                                                channels, 0, 0};
  });
  t.expect_close(out, n, 0x1p-21f);
}

// Op 7 with more positions (y) and heads (z) than the grid holds, pairs
// adjacent and split.
void rope_table(twin &t) {
  const int32_t batch = 2, positions = kSmallGrid + 1, heads = kSmallGrid + 1, head_dim = 4;
  const int32_t count = batch * positions * heads * head_dim;
  for (int32_t adjacent : {1, 0}) {
    SCOPED_TRACE(adjacent);
    std::vector<float> table(positions * head_dim);
    for (size_t i = 0; i + 1 < table.size(); i += 2) {
      table[i] = std::cos(0.3f * float(i));
      table[i + 1] = std::sin(0.3f * float(i));
    }
    const twin_buffer x = t.buffer(random_floats(count, -1, 1, 1)), tb = t.buffer(table);
    t.run(QZ_YPU_OP_ROPE_APPLY_TABLE_F32, [&](bool g) {
      return qz_ypu_rope_apply_table_f32_params_t{x.on(g), tb.on(g), batch,   positions, heads,
                                                  head_dim, head_dim, 0,      adjacent};
    });
    t.expect_close(x, count, 0.0f, 3e-7f);
  }
}

// Op 60 with more positions (y) and pairs (z) than the grid holds.
void rope_expfreq(twin &t) {
  const int32_t batch = 2, positions = kSmallGrid + 1, heads = 2, head_dim = 2 * (kSmallGrid + 1);
  const int32_t start = 5, half = head_dim / 2;
  const float step = -0.3f;
  const int32_t count = batch * positions * heads * head_dim;
  const twin_buffer out = t.bytes(4 * count, 0xFF), in = t.buffer(random_floats(count, -1, 1, 1));
  t.run(QZ_YPU_OP_ROPE_EXPFREQ_F32, [&](bool g) {
    return qz_ypu_rope_expfreq_f32_params_t{out.on(g), in.on(g), batch, positions,
                                            heads,     head_dim, start, step};
  });
  const std::vector<float> gpu = t.gpu_values<float>(out, count);
  const std::vector<float> host = t.host_values<float>(out, count);
  for (int32_t row = 0; row < batch * positions * heads; ++row)
    for (int32_t i = 0; i < head_dim; ++i) {
      const int32_t p = row / heads % positions;
      const double angle = (p + start) * std::exp(step * (i % half));
      const size_t at = size_t(row) * head_dim + i;
      ASSERT_NEAR(gpu[at], host[at], rotated_bound(angle, angle_rel(kDeviceMaths.expf, 1))) << at;
    }
}

TEST(CudaLaunchShapes, EveryFamilyBeyondTheLaunchLimits) {
  const launch_case cases[] = {
      {"row and column broadcasts", kSmallGrid, broadcasts},
      {"conv1d per value", kSmallGrid, [](twin &t) { conv1d(t, 3, 4 * kSmallGrid + 1, 3, 2); }},
      {"conv1d vectors", kSmallGrid, [](twin &t) { conv1d(t, 17, 16 * kSmallGrid + 1, 4, 2); }},
      {"linear i8 x i16", kSmallGrid, linear},
      {"embedding scale add", kSmallGrid, embedding},
      {"affine columns", kSmallGrid, affine_columns},
      {"gaussian weights", 65535, gaussian},
      {"rotary table", kSmallGrid, rope_table},
      {"rotary exponential frequencies", kSmallGrid, rope_expfreq},
  };
  for (const launch_case &c : cases) {
    SCOPED_TRACE(c.name);
    twin t;
    // A smaller device: the harness refuses grids past its limits, and the
    // entries take theirs from the device's properties.
    t.gpu().runtime().prop.max_grid_size[1] = c.grid_limit;
    t.gpu().runtime().prop.max_grid_size[2] = c.grid_limit;
    t.gpu().device()->properties->max_grid_dim[1] = c.grid_limit;
    t.gpu().device()->properties->max_grid_dim[2] = c.grid_limit;
    c.run(t);
  }
}

}  // namespace
