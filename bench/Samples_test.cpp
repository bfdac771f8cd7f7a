#include "bench/Samples.h"

#include <gtest/gtest.h>

TEST(Samples, SummariesOfUnsortedValues) {
  Samples odd;
  for (double v : {30.0, 10.0, 50.0, 20.0, 40.0}) odd.Add(v);
  EXPECT_EQ(odd.Median(), 30.0);
  EXPECT_EQ(odd.Min(), 10.0);
  EXPECT_EQ(odd.Max(), 50.0);
  EXPECT_DOUBLE_EQ(odd.RelativeSpread(), 40.0 / 30.0);

  Samples even;
  for (double v : {4.0, 1.0, 3.0, 2.0}) even.Add(v);
  EXPECT_EQ(even.Median(), 2.5);  // the mean of the two middle values
  even.Add(odd);
  EXPECT_EQ(even.Count(), 9u);
  EXPECT_EQ(even.Median(), 10.0);  // 1 2 3 4 10 20 30 40 50
  EXPECT_EQ(even.Max(), 50.0);

  Samples ten;
  for (int v = 10; v >= 1; --v) ten.Add(v);
  EXPECT_EQ(ten.Percentile(0.9), 9.0);
  EXPECT_EQ(ten.Percentile(1.0), 10.0);
  EXPECT_EQ(ten.Percentile(0.0), 1.0);
}

TEST(Samples, NoValuesGiveZeroNotACrash) {
  Samples none;
  EXPECT_TRUE(none.Empty());
  EXPECT_EQ(none.Median(), 0);
  EXPECT_EQ(none.Percentile(0.9), 0);
  EXPECT_EQ(none.RelativeSpread(), 0);
}
