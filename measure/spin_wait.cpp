// Both waits live alone in this file so that no caller can inline, clone or
// specialise them: they stay two separate calls with the same code up to the
// loop condition.
#include "measure/spin_wait.h"

#include <x86intrin.h>

#include "platform/platform.h"

namespace {

// The last counter value read, and the time-stamp count when it was new.
struct CounterWatch {
  std::int64_t value;
  std::uint64_t movedAt;
};

// Reads the counter into now; false when the read fails or the counter has
// stood still too long. The time-stamp count is taken before the read, so a
// thread preempted between the two never takes the time it lost for a
// standstill.
bool ReadCounter(plat::CounterClock clock, CounterWatch& watch, std::int64_t& now) {
  const std::uint64_t cycles = __rdtsc();
  if (!plat::QueryCounter(clock, now)) {
    return false;
  }
  if (now != watch.value) {
    watch = {now, cycles};
    return true;
  }
  return static_cast<std::int64_t>(cycles - watch.movedAt) < kCounterStandstillCycles;
}

constexpr CounterSpan kGaveUp{0, 0, true};

}  // namespace

CounterSpan SpinWait(std::uint32_t ms) {
  std::int64_t frequency = 0;
  plat::CounterClock clock = 0;
  if (!plat::QueryCounterFrequency(frequency, clock)) {
    return {0, 0, false};
  }
  const std::int64_t target = (frequency / 1000) * static_cast<std::int64_t>(std::uint64_t{ms});
  std::int64_t start = 0;
  std::int64_t now = 0;
  CounterWatch watch{0, __rdtsc()};
  if (!ReadCounter(clock, watch, start) || !ReadCounter(clock, watch, now)) {
    return kGaveUp;
  }
  while (now - start < target) {
    if (!ReadCounter(clock, watch, now)) {
      return kGaveUp;
    }
  }
  return {now - start, frequency, false};
}

CounterSpan SpinWaitOverhead(std::uint32_t ms) {
  std::int64_t frequency = 0;
  plat::CounterClock clock = 0;
  if (!plat::QueryCounterFrequency(frequency, clock)) {
    return {0, 0, false};
  }
  const std::int64_t target = (frequency / 1000) * static_cast<std::int64_t>(std::uint64_t{ms});
  std::int64_t start = 0;
  std::int64_t now = 0;
  CounterWatch watch{0, __rdtsc()};
  if (!ReadCounter(clock, watch, start) || !ReadCounter(clock, watch, now)) {
    return kGaveUp;
  }
  while (now - start == target) {
    if (!ReadCounter(clock, watch, now)) {
      return kGaveUp;
    }
  }
  return {now - start, frequency, false};
}

void SettleCounter() {
  std::int64_t frequency = 0;
  plat::CounterClock clock = 0;
  std::int64_t ticks = 0;
  if (plat::QueryCounterFrequency(frequency, clock)) {
    plat::QueryCounter(clock, ticks);
  }
}
