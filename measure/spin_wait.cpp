// Both waits live alone in this file so that no caller can inline, clone or
// specialise them: they stay two separate calls with the same code up to the
// loop condition.
#include "measure/spin_wait.h"

#include "platform/platform.h"

CounterSpan SpinWait(std::uint32_t ms) {
  std::int64_t frequency = 0;
  if (!plat::QueryCounterFrequency(frequency)) {
    return {0, 0};
  }
  const std::int64_t target = (frequency / 1000) * static_cast<std::int64_t>(std::uint64_t{ms});
  const std::int64_t start = plat::QueryCounter();
  std::int64_t now = plat::QueryCounter();
  while (now - start < target) {
    now = plat::QueryCounter();
  }
  return {now - start, frequency};
}

CounterSpan SpinWaitOverhead(std::uint32_t ms) {
  std::int64_t frequency = 0;
  if (!plat::QueryCounterFrequency(frequency)) {
    return {0, 0};
  }
  const std::int64_t target = (frequency / 1000) * static_cast<std::int64_t>(std::uint64_t{ms});
  const std::int64_t start = plat::QueryCounter();
  std::int64_t now = plat::QueryCounter();
  while (now - start == target) {
    now = plat::QueryCounter();
  }
  return {now - start, frequency};
}
