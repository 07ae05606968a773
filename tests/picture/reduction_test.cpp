// SPDX-License-Identifier: MIT
#include "picture/reduction.h"

#include <gtest/gtest.h>

namespace tam {
namespace {

TEST(ProgressPercent, SharesOfFourEntries) {
  EXPECT_EQ(ProgressPercent(0, 1), 0);
  EXPECT_EQ(ProgressPercent(0, 4), 0);
  EXPECT_EQ(ProgressPercent(1, 4), 25);
  EXPECT_EQ(ProgressPercent(2, 4), 50);
  EXPECT_EQ(ProgressPercent(3, 4), 75);
}

TEST(ProgressPercent, RoundedQuotientsOfAHundredFallShort) {
  // 53/100 and 59/100 round below the exact value at 80 bits.
  EXPECT_EQ(ProgressPercent(53, 100), 52);
  EXPECT_EQ(ProgressPercent(59, 100), 58);
  EXPECT_EQ(ProgressPercent(50, 100), 50);
  EXPECT_EQ(ProgressPercent(99, 100), 99);
  for (int n = 1; n <= 300; ++n) {
    for (int i = 0; i < n; ++i) {
      const int p = ProgressPercent(i, n);
      ASSERT_GE(p, 0);
      ASSERT_LT(p, 100) << i << "/" << n;
      ASSERT_LE(p, 100 * i / n) << i << "/" << n;
      ASSERT_GE(p, 100 * i / n - 1) << i << "/" << n;
    }
  }
}

}  // namespace
}  // namespace tam
