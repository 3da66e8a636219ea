#include "plugin/parameters.h"

#include "platform/platform.h"

namespace {

bool IsSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

constexpr std::uint64_t kTicksPerSecond = 10'000'000;

}  // namespace

std::int32_t TextToInt32(const char* text) {
  while (IsSpace(*text)) {
    ++text;
  }
  const bool negative = *text == '-';
  if (*text == '-' || *text == '+') {
    ++text;
  }
  // Unsigned arithmetic gives the two's-complement wrap without overflow.
  std::uint32_t value = 0;
  for (; IsDigit(*text); ++text) {
    value = value * 10U + static_cast<std::uint32_t>(*text - '0');
  }
  if (negative) {
    value = 0U - value;
  }
  return static_cast<std::int32_t>(value);
}

std::int32_t ThreadPriorityFromLevel(std::int32_t level) {
  if (level < 0 || level > 30) {
    level = 30;
  }
  return level - 15;
}

std::uint32_t PriorityClassFromLevel(std::int32_t level) {
  switch (level) {
    case 1:
      return plat::kBelowNormalPriorityClass;
    case 2:
      return plat::kNormalPriorityClass;
    case 3:
      return plat::kAboveNormalPriorityClass;
    case 4:
      return plat::kHighPriorityClass;
    default:
      return plat::kRealtimePriorityClass;
  }
}

std::uint64_t DueTime(std::uint64_t lastUpdate, std::int32_t intervalSeconds) {
  const auto interval = static_cast<std::uint64_t>(static_cast<std::int64_t>(intervalSeconds));
  return interval * kTicksPerSecond + lastUpdate;
}
