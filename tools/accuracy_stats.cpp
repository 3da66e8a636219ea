#include "tools/accuracy_stats.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace {

double Percentile(const std::vector<double>& sorted, double percent) {
  const auto rank =
      static_cast<std::size_t>(std::ceil(percent / 100.0 * static_cast<double>(sorted.size())));
  return sorted[std::min(sorted.size() - 1, rank == 0 ? 0 : rank - 1)];
}

// The bin of a whole-MHz error in a histogram from -span to +span.
std::size_t Bin(int error, int span) {
  const int bin = std::clamp(error, -span, span) + span;
  return static_cast<std::size_t>(bin);
}

}  // namespace

Summary Summarize(std::vector<double> values) {
  Summary summary;
  if (values.empty()) {
    return summary;
  }
  std::sort(values.begin(), values.end());
  summary.median = Percentile(values, 50);
  summary.p1 = Percentile(values, 1);
  summary.p99 = Percentile(values, 99);
  summary.min = values.front();
  summary.max = values.back();
  return summary;
}

double ShareWithin(const std::vector<double>& values, double limit) {
  if (values.empty()) {
    return 0;
  }
  const auto within = std::count_if(values.begin(), values.end(),
                                    [limit](double value) { return std::fabs(value) <= limit; });
  return static_cast<double>(within) / static_cast<double>(values.size());
}

std::vector<std::string> Histogram(const std::vector<double>& errors, int span, int width) {
  std::vector<int> counts(Bin(span, span) + 1, 0);
  for (double error : errors) {
    ++counts[Bin(static_cast<int>(std::lround(error)), span)];
  }
  const int largest = std::max(1, *std::max_element(counts.begin(), counts.end()));
  std::vector<std::string> lines;
  for (int bin = -span; bin <= span; ++bin) {
    const int count = counts[Bin(bin, span)];
    char label[32];
    std::snprintf(label, sizeof label, "%s%+3d MHz %5d ",
                  bin == -span ? "<=" : (bin == span ? ">=" : "  "), bin, count);
    lines.push_back(label + std::string(static_cast<std::size_t>(count * width / largest), '#'));
  }
  return lines;
}
