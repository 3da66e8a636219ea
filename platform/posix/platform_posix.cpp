// The platform layer on Linux: counters from the kernel's clocks, and the
// priority class and thread priority carried onto the real scheduling of the
// calling thread.
//
// Priority class -> nice value of the calling thread:
//   idle 0x40 -> 19, below normal 0x4000 -> 10, normal 0x20 -> 0,
//   above normal 0x8000 -> -5, high 0x80 -> -10, realtime 0x100 -> -20.
// Thread priority -> scheduling policy of the calling thread (nice kept):
//   -15 (idle) -> SCHED_IDLE, -14..-1 -> SCHED_BATCH, 0..14 -> SCHED_OTHER,
//   +15 (time critical) -> SCHED_FIFO at priority 99, reset on fork: a child
//   forked while the thread is raised (a host may fork from a signal handler
//   during a measurement, or after it abandoned one) starts as an ordinary
//   thread, at nice 0 if its parent's was below.
// States outside the table are read back as tagged values (kRawNiceTag,
// kRawScheduleTag) that restore them exactly. A change this process could
// not undo afterwards is refused and changes nothing.
#include <linux/capability.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <iterator>

#include "platform/platform.h"
#include "platform/posix/clock_read_posix.h"
#include "platform/posix/vdso_posix.h"

namespace {

constexpr std::int64_t kNanosecondsPerSecond = 1'000'000'000;
constexpr std::int64_t kSecondsFrom1601To1970 = 11'644'473'600;
constexpr std::int64_t kNanosecondsPerSystemTick = 100;
constexpr std::int64_t kSystemTicksPerSecond = kNanosecondsPerSecond / kNanosecondsPerSystemTick;

struct ClassNice {
  std::uint32_t priorityClass;
  int nice;
};

constexpr ClassNice kClassNice[] = {
    {plat::kIdlePriorityClass, 19},  {plat::kBelowNormalPriorityClass, 10},
    {plat::kNormalPriorityClass, 0}, {plat::kAboveNormalPriorityClass, -5},
    {plat::kHighPriorityClass, -10}, {plat::kRealtimePriorityClass, -20},
};

constexpr int kLowestNice = -20;
constexpr int kHighestNice = 19;
constexpr std::uint32_t kRawNiceTag = 0x00010000;

constexpr int kTimeCriticalFifoPriority = 99;
constexpr std::int32_t kRawScheduleTag = 0x00020000;
constexpr std::int32_t kRawResetOnForkBit = 0x00001000;
constexpr int kPolicyShift = 8;
constexpr std::int32_t kPolicyMask = 0xF;
constexpr std::int32_t kRawFieldMask = 0xFF;

struct Schedule {
  int policy;  // without SCHED_RESET_ON_FORK
  int priority;
  bool resetOnFork;
};

pid_t CallingThread() { return static_cast<pid_t>(syscall(SYS_gettid)); }

bool IsRealTime(int policy) { return policy == SCHED_FIFO || policy == SCHED_RR; }

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

bool ReadNice(int& nice) {
  errno = 0;
  nice = getpriority(PRIO_PROCESS, static_cast<id_t>(CallingThread()));
  return errno == 0;
}

bool ReadSchedule(Schedule& schedule) {
  const pid_t thread = CallingThread();
  const int policy = sched_getscheduler(thread);
  sched_param param{};
  if (policy < 0 || sched_getparam(thread, &param) != 0) {
    return false;
  }
  schedule = {policy & ~SCHED_RESET_ON_FORK, param.sched_priority,
              (policy & SCHED_RESET_ON_FORK) != 0};
  return IsValidSchedule(schedule);
}

// CAP_SYS_NICE lets the process undo any change it makes.
bool MayChangeAnyScheduling() {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3]{};
  if (syscall(SYS_capget, &header, data) != 0) {
    return false;
  }
  return (data[CAP_TO_INDEX(CAP_SYS_NICE)].effective & CAP_TO_MASK(CAP_SYS_NICE)) != 0;
}

rlim_t SoftLimit(int resource) {
  rlimit limit{};
  return getrlimit(resource, &limit) == 0 ? limit.rlim_cur : 0;
}

// Without CAP_SYS_NICE the kernel lets a thread lower its nice value only
// down to 20 - RLIMIT_NICE.
bool MayTakeNice(int nice) {
  const rlim_t limit = SoftLimit(RLIMIT_NICE);
  return limit == RLIM_INFINITY || static_cast<rlim_t>(20 - nice) <= limit;
}

// The kernel's rules for an unprivileged change of nice value.
bool UnprivilegedMaySetNice(int from, int to) { return to >= from || MayTakeNice(to); }

// The kernel's rules for an unprivileged change of policy; nice stays.
bool UnprivilegedMaySetSchedule(const Schedule& from, const Schedule& to, int nice) {
  if (IsRealTime(to.policy)) {
    const rlim_t limit = SoftLimit(RLIMIT_RTPRIO);
    if (to.policy != from.policy && limit == 0) {
      return false;
    }
    const int fromPriority = IsRealTime(from.policy) ? from.priority : 0;
    if (to.priority > fromPriority && limit != RLIM_INFINITY &&
        static_cast<rlim_t>(to.priority) > limit) {
      return false;
    }
  }
  if (from.policy == SCHED_IDLE && to.policy != SCHED_IDLE && !MayTakeNice(nice)) {
    return false;
  }
  return !(from.resetOnFork && !to.resetOnFork);
}

bool NiceForClass(std::uint32_t priorityClass, int& nice) {
  for (const ClassNice& entry : kClassNice) {
    if (entry.priorityClass == priorityClass) {
      nice = entry.nice;
      return true;
    }
  }
  if ((priorityClass & ~kRawFieldMask) == kRawNiceTag) {
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
  if (priority == plat::kThreadPriorityIdle) {
    schedule = {SCHED_IDLE, 0, false};
  } else if (priority > plat::kThreadPriorityIdle && priority < plat::kThreadPriorityNormal) {
    schedule = {SCHED_BATCH, 0, false};
  } else if (priority >= plat::kThreadPriorityNormal &&
             priority < plat::kThreadPriorityTimeCritical) {
    schedule = {SCHED_OTHER, 0, false};
  } else if (priority == plat::kThreadPriorityTimeCritical) {
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
  if (schedule.resetOnFork && schedule.policy == SCHED_FIFO &&
      schedule.priority == kTimeCriticalFifoPriority) {
    return plat::kThreadPriorityTimeCritical;
  }
  if (!schedule.resetOnFork) {
    if (schedule.policy == SCHED_IDLE) {
      return plat::kThreadPriorityIdle;
    }
    if (schedule.policy == SCHED_BATCH) {
      return plat::kThreadPriorityNormal - 1;
    }
    if (schedule.policy == SCHED_OTHER) {
      return plat::kThreadPriorityNormal;
    }
  }
  return kRawScheduleTag | (schedule.resetOnFork ? kRawResetOnForkBit : 0) |
         (schedule.policy << kPolicyShift) | schedule.priority;
}

// The clock read: the vDSO's own where there is one, found at the first read,
// else the C library's.
std::atomic<plat::posix::ClockGettime> gClockGettime{nullptr};

// Reads one of the kernel's clocks, marked as the module's own read.
timespec ReadClock(clockid_t clock) {
  plat::posix::ClockGettime read = gClockGettime.load(std::memory_order_relaxed);
  if (read == nullptr) {
    read = plat::posix::VdsoClockGettime();
    if (read == nullptr) {
      read = &clock_gettime;
    }
    gClockGettime.store(read, std::memory_order_relaxed);
  }
  timespec now{};
  const void* const outer = plat::posix::tClockReadFrame;
  plat::posix::tClockReadFrame = __builtin_frame_address(0);
  read(clock, &now);
  plat::posix::tClockReadFrame = outer;
  return now;
}

}  // namespace

namespace plat {

bool QueryCounterFrequency(std::int64_t& ticksPerSecond) {
  ticksPerSecond = kNanosecondsPerSecond;
  return true;
}

std::int64_t QueryCounter() {
  const timespec now = ReadClock(CLOCK_MONOTONIC);
  return static_cast<std::int64_t>(now.tv_sec) * kNanosecondsPerSecond + now.tv_nsec;
}

std::uint64_t GetSystemTime() {
  const timespec now = ReadClock(CLOCK_REALTIME);
  const std::int64_t seconds = static_cast<std::int64_t>(now.tv_sec) + kSecondsFrom1601To1970;
  return static_cast<std::uint64_t>(seconds * kSystemTicksPerSecond +
                                    now.tv_nsec / kNanosecondsPerSystemTick);
}

std::uint32_t GetPriorityClass() {
  int nice = 0;
  return ReadNice(nice) ? ClassForNice(nice) : 0;
}

bool SetPriorityClass(std::uint32_t priorityClass) {
  int target = 0;
  int current = 0;
  if (!NiceForClass(priorityClass, target) || !ReadNice(current)) {
    return false;
  }
  if (!MayChangeAnyScheduling() && !UnprivilegedMaySetNice(target, current)) {
    return false;
  }
  return setpriority(PRIO_PROCESS, static_cast<id_t>(CallingThread()), target) == 0;
}

std::int32_t GetThreadPriority() {
  Schedule schedule{};
  return ReadSchedule(schedule) ? PriorityForSchedule(schedule) : kThreadPriorityErrorReturn;
}

bool SetThreadPriority(std::int32_t priority) {
  Schedule target{};
  Schedule current{};
  int nice = 0;
  if (!ScheduleForPriority(priority, target) || !ReadSchedule(current) || !ReadNice(nice)) {
    return false;
  }
  if (!MayChangeAnyScheduling() && !UnprivilegedMaySetSchedule(target, current, nice)) {
    return false;
  }
  const sched_param param{target.priority};
  const int policy = target.policy | (target.resetOnFork ? SCHED_RESET_ON_FORK : 0);
  return sched_setscheduler(CallingThread(), policy, &param) == 0;
}

}  // namespace plat
