// What several test files share: the text the meter answers a failure with,
// and one measurement whose scheduling record is not needed afterwards
// (INT32_MIN when the counter failed).
#pragma once

#include <cstdint>

#include "measure/cpu_speed.h"

inline constexpr char kFailureText[] = "An unexpected error was returned";

inline std::int32_t MeasureOnce(std::uint32_t passes, std::uint32_t delayMs,
                                std::int32_t threadPriority, std::uint32_t priorityClass) {
  SchedulingChange change;
  std::int32_t megahertz = 0;
  return MeasureCPUSpeed(passes, delayMs, threadPriority, priorityClass, change, megahertz)
             ? megahertz
             : INT32_MIN;
}
