// The fixture of tests on the Metal stand-in: a fresh fake system for every
// test, and at its end nothing left alive and nothing Metal would refuse.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/metal_standin.h"

class MetalTest : public ::testing::Test {
 protected:
  void SetUp() override { qz_metal_standin::reset(); }
  void TearDown() override {
    EXPECT_EQ(qz_metal_standin::standin().live_objects, 0);
    EXPECT_EQ(qz_metal_standin::standin().violations, std::vector<std::string>{});
  }
};
