// The summaries the accuracy tool prints.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tools/accuracy_stats.h"

namespace {

TEST(AccuracyStats, NearestRankPercentiles) {
  std::vector<double> values;
  for (int value = 100; value >= 1; --value) {
    values.push_back(value);  // unsorted on purpose
  }
  const Summary summary = Summarize(values);
  EXPECT_EQ(summary.median, 50);
  EXPECT_EQ(summary.p1, 1);
  EXPECT_EQ(summary.p99, 99);
  EXPECT_EQ(summary.min, 1);
  EXPECT_EQ(summary.max, 100);
  EXPECT_EQ(Summarize({7}).p99, 7);
  EXPECT_EQ(Summarize({}).median, 0);
}

TEST(AccuracyStats, ShareWithinCountsBothSignsAndTheEdges) {
  EXPECT_DOUBLE_EQ(ShareWithin({-1, 1, 0.5, -1.01, 2}, 1.0), 0.6);
  EXPECT_DOUBLE_EQ(ShareWithin({}, 1.0), 0.0);
}

TEST(AccuracyStats, HistogramPutsOutliersInTheEndBins) {
  const std::vector<std::string> lines = Histogram({-9, -0.4, 0.4, 1, 1, 30}, 2, 4);
  ASSERT_EQ(lines.size(), 5U);
  EXPECT_NE(lines[0].find("<= -2 MHz     1 #"), std::string::npos) << lines[0];
  EXPECT_NE(lines[2].find("+0 MHz     2 ####"), std::string::npos) << lines[2];
  EXPECT_NE(lines[3].find("+1 MHz     2 ####"), std::string::npos) << lines[3];
  EXPECT_NE(lines[4].find(">= +2 MHz     1 ##"), std::string::npos) << lines[4];
}

}  // namespace
