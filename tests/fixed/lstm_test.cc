// The fixed-point LSTM cell (op 39). Expected integers come from a separate
// double-precision rebuild of the sigmoid table and the cell's formulas.
#include <cstdint>
#include <vector>

#include <gtest/gtest.h>

#include "fixed/operands.h"
#include "support/ypu_harness.h"
#include "ypu/params.h"

namespace {

using i16 = std::vector<int16_t>;

class FixedLstm : public testing::TestWithParam<ypu_backend> {};

struct unit {
  const char *what;
  int16_t state, input, candidate, output;  // before: Q10 state and pre-activations
  int16_t new_state, out;
  int16_t tanh_state, tanh_candidate, sigmoid_output;  // the gates afterwards
};

// Each unit is an independent cell; running them side by side also checks
// that the three gate parts are found H values apart.
constexpr unit kUnits[] = {
    {"all_zero", 0, 0, 0, 0, 0, 0, 0, 0, 16384},
    {"state_only", 1024, 0, 0, 0, 512, 237, 15142, 0, 16384},
    {"moderate", 300, 700, -2000, 1500, -553, -410, -16154, -31476, 26614},
    {"moderate_negative", -5000, -300, 4000, -800, -2427, -316, -32202, 32740, 10291},
    {"all_max", INT16_MAX, INT16_MAX, INT16_MAX, INT16_MAX, 1035, 784, 25098, 32742, 32755},
    {"all_min", INT16_MIN, INT16_MIN, INT16_MIN, INT16_MIN, -32756, 0, -32746, -32746, 11},
    {"largest_output", INT16_MAX, INT16_MIN, INT16_MAX, INT16_MAX, 32755, 1023, 32742, 32742,
     32755},
    {"smallest_output", INT16_MIN, INT16_MIN, 0, INT16_MAX, -32756, -1023, -32746, 0, 32755},
};
constexpr int32_t kHidden = sizeof kUnits / sizeof kUnits[0];

TEST_P(FixedLstm, UpdatesStateAndOutput) {
  ypu_harness h(GetParam());
  i16 state, gates(3 * kHidden), new_state, out, gates_after(3 * kHidden);
  for (int32_t k = 0; k < kHidden; ++k) {
    const unit &u = kUnits[k];
    state.push_back(u.state);
    gates[k] = u.input;
    gates[kHidden + k] = u.candidate;
    gates[2 * kHidden + k] = u.output;
    new_state.push_back(u.new_state);
    out.push_back(u.out);
    gates_after[k] = u.tanh_state;
    gates_after[kHidden + k] = u.tanh_candidate;
    gates_after[2 * kHidden + k] = u.sigmoid_output;
  }
  auto out_operand = place(h, i16(kHidden, 0x2222), 2);
  auto state_operand = place(h, state, 4);
  auto gates_operand = place(h, gates, 6);
  const qz_ypu_lstm_cell_i16_params_t params{
      .out = out_operand.buffer, .state = state_operand.buffer, .gates = gates_operand.buffer,
      .hidden = kHidden, .out_offset = out_operand.offset, .state_offset = state_operand.offset,
      .gates_offset = gates_operand.offset};
  ASSERT_EQ(h.run(QZ_YPU_OP_LSTM_CELL_I16, &params), QZ_STATUS_SUCCESS);

  const i16 got_state = values_of(h, state_operand), got_out = values_of(h, out_operand);
  const i16 got_gates = values_of(h, gates_operand);
  for (int32_t k = 0; k < kHidden; ++k) {
    SCOPED_TRACE(kUnits[k].what);
    EXPECT_EQ(got_state[k], new_state[k]);
    EXPECT_EQ(got_out[k], out[k]);
    // On the CPU the gates are the caller's memory and keep the scratch
    // values; a copy-on-map backend never gets them written back.
    const i16 &gates_expected = GetParam() == ypu_backend::fake ? gates : gates_after;
    for (int32_t part = 0; part < 3; ++part)
      EXPECT_EQ(got_gates[part * kHidden + k], gates_expected[part * kHidden + k]) << part;
  }
  EXPECT_TRUE(guards_intact(h, out_operand));
  EXPECT_TRUE(guards_intact(h, state_operand));
  EXPECT_TRUE(guards_intact(h, gates_operand));
}

TEST_P(FixedLstm, OutputStaysWithinTheQ10UnitRange) {
  // Every combination of extreme and middling values; the hidden output is
  // tanh x sigmoid in Q10, so it never leaves [-1023, 1023].
  const int16_t values[] = {INT16_MIN, -8193, -4096, -1, 0, 1, 4064, 8128, INT16_MAX};
  i16 state, inputs, candidates, outputs;
  for (int16_t s : values)
    for (int16_t i : values)
      for (int16_t c : values)
        for (int16_t o : values) {
          state.push_back(s);
          inputs.push_back(i);
          candidates.push_back(c);
          outputs.push_back(o);
        }
  i16 gates = inputs;
  gates.insert(gates.end(), candidates.begin(), candidates.end());
  gates.insert(gates.end(), outputs.begin(), outputs.end());
  const auto hidden = static_cast<int32_t>(state.size());

  ypu_harness h(GetParam());
  auto out = place(h, i16(hidden, 0), 2);
  auto state_operand = place(h, state, 2);
  auto gates_operand = place(h, gates, 2);
  const qz_ypu_lstm_cell_i16_params_t params{
      .out = out.buffer, .state = state_operand.buffer, .gates = gates_operand.buffer,
      .hidden = hidden, .out_offset = 2, .state_offset = 2, .gates_offset = 2};
  ASSERT_EQ(h.run(QZ_YPU_OP_LSTM_CELL_I16, &params), QZ_STATUS_SUCCESS);
  for (int16_t v : values_of(h, out)) {
    ASSERT_GE(v, -1023);
    ASSERT_LE(v, 1023);
  }
}

TEST_P(FixedLstm, NoHiddenUnitsTouchesNothing) {
  ypu_harness h(GetParam());
  auto out = place(h, i16{7}, 2);
  auto state = place(h, i16{1024}, 2);
  auto gates = place(h, i16{1, 2, 3}, 2);
  for (int32_t hidden : {0, -1}) {
    const qz_ypu_lstm_cell_i16_params_t params{
        .out = out.buffer, .state = state.buffer, .gates = gates.buffer, .hidden = hidden,
        .out_offset = 2, .state_offset = 2, .gates_offset = 2};
    ASSERT_EQ(h.run(QZ_YPU_OP_LSTM_CELL_I16, &params), QZ_STATUS_SUCCESS);
    EXPECT_EQ(values_of(h, out), i16{7});
    EXPECT_EQ(values_of(h, state), i16{1024});
    EXPECT_EQ(values_of(h, gates), (i16{1, 2, 3}));
  }
}

QZ_FIXED_BACKENDS(FixedLstm);

}  // namespace
