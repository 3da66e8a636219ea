#include "platform/linux/scheduling_rules.h"

#include <sched.h>

#include "platform/platform.h"

namespace plat::scheduling {

namespace {

struct ClassNice {
  std::uint32_t priorityClass;
  int nice;
};

constexpr ClassNice kClassNice[] = {
    {kIdlePriorityClass, 19},        {kBelowNormalPriorityClass, 10}, {kNormalPriorityClass, 0},
    {kAboveNormalPriorityClass, -5}, {kHighPriorityClass, -10},       {kRealtimePriorityClass, -20},
};

constexpr int kLowestNice = -20;
constexpr int kHighestNice = 19;
constexpr std::uint32_t kRawNiceTag = 0x00010000;

// The lowest real-time priority already runs ahead of every ordinary thread,
// and stays below the kernel's threaded interrupt handlers (50).
constexpr int kTimeCriticalFifoPriority = 1;
constexpr std::int32_t kRawScheduleTag = 0x00020000;
constexpr std::int32_t kRawResetOnForkBit = 0x00001000;
constexpr int kPolicyShift = 8;
constexpr std::int32_t kPolicyMask = 0xF;
constexpr std::int32_t kRawFieldMask = 0xFF;

// Without CAP_SYS_NICE the kernel lets a thread lower its nice value only
// down to 20 - RLIMIT_NICE.
bool MayTakeNice(int nice, const SchedulingLimits& limits) {
  return limits.nice == RLIM_INFINITY || static_cast<rlim_t>(20 - nice) <= limits.nice;
}

}  // namespace

bool IsRealTime(int policy) { return policy == SCHED_FIFO || policy == SCHED_RR; }

bool IsValidNice(int nice) { return nice >= kLowestNice && nice <= kHighestNice; }

bool IsValidSchedule(const Schedule& schedule) {
  switch (schedule.policy) {
    case SCHED_OTHER:
    case SCHED_BATCH:
    case SCHED_IDLE:
      return schedule.priority == 0;
    case SCHED_FIFO:
    case SCHED_RR:
      return schedule.priority >= 1 && schedule.priority <= 99;
    default:
      return false;
  }
}

bool NiceForClass(std::uint32_t priorityClass, int& nice) {
  for (const ClassNice& entry : kClassNice) {
    if (entry.priorityClass == priorityClass) {
      nice = entry.nice;
      return true;
    }
  }
  if ((priorityClass & ~static_cast<std::uint32_t>(kRawFieldMask)) == kRawNiceTag) {
    nice = static_cast<int>(priorityClass & kRawFieldMask) + kLowestNice;
    return nice <= kHighestNice;
  }
  return false;
}

std::uint32_t ClassForNice(int nice) {
  for (const ClassNice& entry : kClassNice) {
    if (entry.nice == nice) {
      return entry.priorityClass;
    }
  }
  return kRawNiceTag | static_cast<std::uint32_t>(nice - kLowestNice);
}

bool ScheduleForPriority(std::int32_t priority, Schedule& schedule) {
  if (priority == kThreadPriorityIdle) {
    schedule = {SCHED_IDLE, 0, false};
  } else if (priority > kThreadPriorityIdle && priority < kThreadPriorityNormal) {
    schedule = {SCHED_BATCH, 0, false};
  } else if (priority >= kThreadPriorityNormal && priority < kThreadPriorityTimeCritical) {
    schedule = {SCHED_OTHER, 0, false};
  } else if (priority == kThreadPriorityTimeCritical) {
    schedule = {SCHED_FIFO, kTimeCriticalFifoPriority, true};
  } else if ((priority & ~(kRawResetOnForkBit | (kPolicyMask << kPolicyShift) | kRawFieldMask)) ==
             kRawScheduleTag) {
    schedule = {(priority >> kPolicyShift) & kPolicyMask, priority & kRawFieldMask,
                (priority & kRawResetOnForkBit) != 0};
  } else {
    return false;
  }
  return IsValidSchedule(schedule);
}

std::int32_t PriorityForSchedule(const Schedule& schedule) {
  if (!schedule.resetOnFork) {
    if (schedule.policy == SCHED_IDLE) {
      return kThreadPriorityIdle;
    }
    if (schedule.policy == SCHED_BATCH) {
      return kThreadPriorityNormal - 1;
    }
    if (schedule.policy == SCHED_OTHER) {
      return kThreadPriorityNormal;
    }
  }
  return kRawScheduleTag | (schedule.resetOnFork ? kRawResetOnForkBit : 0) |
         (schedule.policy << kPolicyShift) | schedule.priority;
}

bool UnprivilegedMayUndoNice(int changed, int original, const SchedulingLimits& limits) {
  return original >= changed || MayTakeNice(original, limits);
}

bool UnprivilegedMayUndoSchedule(const Schedule& changed, const Schedule& original, int nice,
                                 const SchedulingLimits& limits) {
  if (IsRealTime(original.policy)) {
    // Back to a real-time policy from another needs RLIMIT_RTPRIO, and back
    // to a higher real-time priority needs it up to that priority.
    if (original.policy != changed.policy && limits.realTimePriority == 0) {
      return false;
    }
    const int changedPriority = IsRealTime(changed.policy) ? changed.priority : 0;
    if (original.priority > changedPriority && limits.realTimePriority != RLIM_INFINITY &&
        static_cast<rlim_t>(original.priority) > limits.realTimePriority) {
      return false;
    }
  }
  // Leaving SCHED_IDLE is judged as taking the thread's nice value anew.
  if (changed.policy == SCHED_IDLE && original.policy != SCHED_IDLE && !MayTakeNice(nice, limits)) {
    return false;
  }
  // Only CAP_SYS_NICE may clear the reset-on-fork flag.
  return !(changed.resetOnFork && !original.resetOnFork);
}

}  // namespace plat::scheduling
