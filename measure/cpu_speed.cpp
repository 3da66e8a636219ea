#include "measure/cpu_speed.h"

#include <x86intrin.h>

#include "measure/spin_wait.h"
#include "platform/fault_guard.h"
#include "platform/platform.h"

namespace {

std::int64_t CycleDifference(std::uint64_t from, std::uint64_t to) {
  return static_cast<std::int64_t>(to - from);
}

}  // namespace

std::int32_t CyclesToMegahertz(std::int64_t waitCycles, std::int64_t overheadCycles,
                               std::uint32_t passes, std::uint32_t delayMs) {
  const auto difference = static_cast<std::int64_t>(static_cast<std::uint64_t>(waitCycles) -
                                                    static_cast<std::uint64_t>(overheadCycles));
  const std::int64_t perPass = difference / static_cast<std::int64_t>(std::uint64_t{passes});
  const std::int64_t perMs = perPass / static_cast<std::int64_t>(std::uint64_t{delayMs});
  const std::int64_t megahertz = perMs / 1000;
  return static_cast<std::int32_t>(
      static_cast<std::uint32_t>(static_cast<std::uint64_t>(megahertz)));
}

void RestoreScheduling(SchedulingChange& change) {
  if (change.threadChanged) {
    plat::SetThreadPriority(change.oldThreadPriority);
    change.threadChanged = false;
    plat::PublishForGuard();
  }
  if (change.classChanged) {
    plat::SetPriorityClass(change.oldPriorityClass);
    change.classChanged = false;
    plat::PublishForGuard();
  }
}

std::int32_t MeasureCPUSpeedRecorded(std::uint32_t passes, std::uint32_t delayMs,
                                     std::int32_t threadPriority, std::uint32_t priorityClass,
                                     SchedulingChange& change) {
  if (passes == 0 || delayMs == 0) {
    return 0;
  }
  if (priorityClass != 0) {
    const std::uint32_t oldClass = plat::GetPriorityClass();
    if (oldClass != 0) {
      change.oldPriorityClass = oldClass;
      change.classChanged = true;
      plat::PublishForGuard();
      plat::SetPriorityClass(priorityClass);
    }
  }
  if (threadPriority != plat::kThreadPriorityErrorReturn) {
    const std::int32_t oldPriority = plat::GetThreadPriority();
    if (oldPriority != plat::kThreadPriorityErrorReturn) {
      change.oldThreadPriority = oldPriority;
      change.threadChanged = true;
      plat::PublishForGuard();
      plat::SetThreadPriority(threadPriority);
    }
  }

  std::int64_t waitTotal = 0;
  std::int64_t overheadTotal = 0;
  for (std::uint32_t pass = 0; pass < passes; ++pass) {
    const std::uint64_t t0 = __rdtsc();
    SpinWait(delayMs);
    const std::uint64_t t1 = __rdtsc();
    waitTotal += CycleDifference(t0, t1);

    const std::uint64_t t2 = __rdtsc();
    SpinWaitOverhead(delayMs);
    const std::uint64_t t3 = __rdtsc();
    overheadTotal += CycleDifference(t2, t3);
  }

  RestoreScheduling(change);
  return CyclesToMegahertz(waitTotal, overheadTotal, passes, delayMs);
}

std::int32_t MeasureCPUSpeed(std::uint32_t passes, std::uint32_t delayMs,
                             std::int32_t threadPriority, std::uint32_t priorityClass) {
  SchedulingChange change;
  return MeasureCPUSpeedRecorded(passes, delayMs, threadPriority, priorityClass, change);
}
