#include "measure/cpu_speed.h"

#include <x86intrin.h>

#include "measure/spin_wait.h"
#include "platform/fault_guard.h"
#include "platform/platform.h"

namespace {

constexpr std::uint64_t kLow32 = 0xFFFFFFFF;

std::int64_t CycleDifference(std::uint64_t from, std::uint64_t to) {
  return static_cast<std::int64_t>(to - from);
}

// a x b / divisor, truncated, without losing the product's high half: i686
// has no 128-bit integers. The product is built from 32-bit halves, then
// divided one bit at a time; the quotient keeps its low 64 bits.
std::uint64_t MultiplyThenDivide(std::uint64_t a, std::uint64_t b, std::uint64_t divisor) {
  const std::uint64_t lowLow = (a & kLow32) * (b & kLow32);
  const std::uint64_t lowHigh = (a & kLow32) * (b >> 32);
  const std::uint64_t highLow = (a >> 32) * (b & kLow32);
  const std::uint64_t middle = (lowLow >> 32) + (lowHigh & kLow32) + (highLow & kLow32);
  const std::uint64_t productLow = (lowLow & kLow32) | (middle << 32);
  const std::uint64_t productHigh =
      (a >> 32) * (b >> 32) + (lowHigh >> 32) + (highLow >> 32) + (middle >> 32);
  std::uint64_t quotient = 0;
  std::uint64_t remainder = 0;
  for (int bit = 127; bit >= 0; --bit) {
    const std::uint64_t next = bit >= 64 ? productHigh >> (bit - 64) : productLow >> bit;
    const bool overflow = (remainder >> 63) != 0;
    remainder = (remainder << 1) | (next & 1);
    quotient <<= 1;
    if (overflow || remainder >= divisor) {
      remainder -= divisor;
      quotient |= 1;
    }
  }
  return quotient;
}

// value x multiplier / divisor for a signed value, truncated toward zero as
// signed division does.
std::int64_t MultiplyThenDivideSigned(std::int64_t value, std::uint64_t multiplier,
                                      std::uint64_t divisor) {
  const std::uint64_t magnitude =
      value < 0 ? 0 - static_cast<std::uint64_t>(value) : static_cast<std::uint64_t>(value);
  const std::uint64_t quotient = MultiplyThenDivide(magnitude, multiplier, divisor);
  return static_cast<std::int64_t>(value < 0 ? 0 - quotient : quotient);
}

}  // namespace

std::int32_t CyclesToMegahertz(std::int64_t waitCycles, std::int64_t overheadCycles,
                               std::uint32_t passes, std::uint32_t delayMs, CounterSpan waited) {
  const auto difference = static_cast<std::int64_t>(static_cast<std::uint64_t>(waitCycles) -
                                                    static_cast<std::uint64_t>(overheadCycles));
  std::int64_t megahertz = 0;
  if (waited.ticks > 0 && waited.ticksPerSecond > 0) {
    // Cycles per second over the measured span, then megahertz.
    const std::int64_t hertz =
        MultiplyThenDivideSigned(difference, static_cast<std::uint64_t>(waited.ticksPerSecond),
                                 static_cast<std::uint64_t>(waited.ticks));
    megahertz = hertz / 1'000'000;
  } else if (passes != 0 && delayMs != 0) {
    const std::int64_t perPass = difference / static_cast<std::int64_t>(std::uint64_t{passes});
    const std::int64_t perMs = perPass / static_cast<std::int64_t>(std::uint64_t{delayMs});
    megahertz = perMs / 1000;
  }
  return static_cast<std::int32_t>(
      static_cast<std::uint32_t>(static_cast<std::uint64_t>(megahertz)));
}

void RestoreScheduling(SchedulingChange& change) {
  if (change.threadChanged && plat::RestoreThreadPriority(change.oldThreadPriority)) {
    change.threadChanged = false;
    plat::PublishForGuard();
  }
  if (change.classChanged) {
    if (change.classInForce == 0 || plat::GetPriorityClass() == change.classInForce) {
      plat::RestorePriorityClass(change.oldPriorityClass);
    }
    // Cleared before the claim is given up, so that no second restore gives
    // up another measurement's claim.
    change.classChanged = false;
    plat::PublishForGuard();
    plat::ReleasePriorityClass();
  }
  // A thread priority that only the caller's class allows (on Windows, -7..-3
  // and 3..6 need the realtime class) is refused under the meter's: it goes
  // back once the class has.
  if (change.threadChanged) {
    plat::RestoreThreadPriority(change.oldThreadPriority);
    change.threadChanged = false;
    plat::PublishForGuard();
  }
}

bool MeasureCPUSpeed(std::uint32_t passes, std::uint32_t delayMs, std::int32_t threadPriority,
                     std::uint32_t priorityClass, SchedulingChange& change,
                     std::int32_t& megahertz) {
  megahertz = 0;
  if (passes == 0 || delayMs == 0) {
    return true;
  }
  // Both settings are read before either changes: on Windows a class change
  // moves the thread's priority with it and clips it to the new class's range,
  // so a thread priority read afterwards is not the one to put back.
  std::uint32_t oldClass = 0;
  if (priorityClass != 0 && plat::ClaimPriorityClass()) {
    oldClass = plat::GetPriorityClass();
    if (oldClass == 0) {
      plat::ReleasePriorityClass();
    }
  }
  std::int32_t oldPriority = plat::kThreadPriorityErrorReturn;
  if (threadPriority != plat::kThreadPriorityErrorReturn) {
    oldPriority = plat::GetThreadPriority();
  }
  if (oldClass != 0) {
    change.oldPriorityClass = oldClass;
    change.classInForce = 0;
    change.classChanged = true;
    plat::PublishForGuard();
    plat::SetPriorityClass(priorityClass);
    // What the system made of the request (Windows gives high for realtime
    // without the privilege), to know the class at the end for the meter's.
    change.classInForce = plat::GetPriorityClass();
    plat::PublishForGuard();
  }
  if (oldPriority != plat::kThreadPriorityErrorReturn) {
    change.oldThreadPriority = oldPriority;
    change.threadChanged = true;
    plat::PublishForGuard();
    plat::SetThreadPriority(threadPriority);
  }
  if (!plat::MaySpin()) {
    RestoreScheduling(change);
    return false;
  }

  std::int64_t waitTotal = 0;
  std::int64_t overheadTotal = 0;
  // The waits' length by the counter, less the twin's as with the cycles: a
  // twin preempted between its reads then costs neither count.
  std::uint64_t waitedTicks = 0;
  std::int64_t ticksPerSecond = 0;
  bool counterFailed = false;
  SettleCounter();
  for (std::uint32_t pass = 0; pass < passes && !counterFailed; ++pass) {
    const std::uint64_t t0 = __rdtsc();
    const CounterSpan wait = SpinWait(delayMs);
    const std::uint64_t t1 = __rdtsc();
    waitTotal += CycleDifference(t0, t1);
    waitedTicks += static_cast<std::uint64_t>(wait.ticks);
    ticksPerSecond = wait.ticksPerSecond;

    const std::uint64_t t2 = __rdtsc();
    const CounterSpan overhead = SpinWaitOverhead(delayMs);
    const std::uint64_t t3 = __rdtsc();
    overheadTotal += CycleDifference(t2, t3);
    waitedTicks -= static_cast<std::uint64_t>(overhead.ticks);
    counterFailed = wait.failed || overhead.failed;
  }

  RestoreScheduling(change);
  if (counterFailed) {
    return false;
  }
  megahertz = CyclesToMegahertz(waitTotal, overheadTotal, passes, delayMs,
                                {static_cast<std::int64_t>(waitedTicks), ticksPerSecond, false});
  return true;
}
