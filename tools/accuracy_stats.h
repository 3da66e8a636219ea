// Summaries of a run of readings against a reference.
#pragma once

#include <string>
#include <vector>

struct Summary {
  double median = 0;
  double p1 = 0;
  double p99 = 0;
  double min = 0;
  double max = 0;
};

// Nearest-rank percentiles of values; all zero for no values.
Summary Summarize(std::vector<double> values);

// The share (0..1) of values whose magnitude is at most limit.
double ShareWithin(const std::vector<double>& values, double limit);

// One line per whole-MHz error from -span to +span (outliers in the end
// bins), each with a bar of '#' scaled to width.
std::vector<std::string> Histogram(const std::vector<double>& errors, int span, int width);
