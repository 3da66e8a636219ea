// The platform layer on Linux: counters from the kernel's clocks, and the
// priority class and thread priority carried onto the real scheduling of the
// calling thread.
//
// Priority class -> nice value of the calling thread:
//   idle 0x40 -> 19, below normal 0x4000 -> 10, normal 0x20 -> 0,
//   above normal 0x8000 -> -5, high 0x80 -> -10, realtime 0x100 -> -20.
// Thread priority -> scheduling policy of the calling thread (nice kept):
//   -15 (idle) -> SCHED_IDLE, -14..-1 -> SCHED_BATCH, 0..14 -> SCHED_OTHER,
//   +15 (time critical) -> SCHED_FIFO at priority 1, reset on fork. The
//   lowest real-time priority already runs ahead of every ordinary thread,
//   and stays below the kernel's threaded interrupt handlers (50). A child
//   forked while the thread is raised starts as an ordinary thread, at nice 0
//   if its parent's was below.
// States outside the table are read back as tagged values (kRawNiceTag,
// kRawScheduleTag) that restore them exactly. A change this process could
// not undo afterwards is refused and changes nothing; so is a real-time
// policy whose spin could run into the thread's RLIMIT_RTTIME.
//
// The clocks: the wall clock that decides whether an update is due is the
// kernel's tick (CLOCK_REALTIME_COARSE), which the vDSO serves without a
// system call and without reading the time-stamp counter. The counter that
// times the wait (CLOCK_MONOTONIC) may read it, so it is read only after
// CounterReadable.
#include <fcntl.h>
#include <linux/capability.h>
#include <linux/mempolicy.h>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "platform/platform.h"

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

constexpr int kTimeCriticalFifoPriority = 1;
// The longest CPU time a real-time thread of the module may need without
// blocking: the meter's 50 ms wait and its twin, with room to spare. A soft
// RLIMIT_RTTIME below it would end the host with SIGXCPU during the spin.
constexpr rlim_t kRealTimeSpinMicroseconds = 1'000'000;
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

// Whether the process is in the initial user namespace, whose identity map
// covers every user ID. The kernel judges scheduling changes against that
// namespace: CAP_SYS_NICE held only inside a user namespace does not count.
bool InInitialUserNamespace() {
  const int file = open("/proc/self/uid_map", O_RDONLY | O_CLOEXEC);
  if (file < 0) {
    return false;
  }
  char text[128];
  const ssize_t length = read(file, text, sizeof text - 1);
  close(file);
  if (length <= 0) {
    return false;
  }
  text[length] = '\0';
  char* at = text;
  const unsigned long inside = std::strtoul(at, &at, 10);
  const unsigned long outside = std::strtoul(at, &at, 10);
  const unsigned long count = std::strtoul(at, &at, 10);
  const bool oneLine = *at == '\0' || (at[0] == '\n' && at[1] == '\0');
  return inside == 0 && outside == 0 && count == 4'294'967'295UL && oneLine;
}

// CAP_SYS_NICE, as the kernel judges it for scheduling (in the initial user
// namespace), lets the process undo any change it makes. mbind with
// MPOL_MF_MOVE_ALL asks the kernel that very question before anything else,
// and over an empty range it changes nothing; it costs a microsecond, where a
// read of /proc after an idle second costs tens. Kernels without NUMA support
// have no mbind: there the capability counts only in the initial namespace.
bool MayChangeAnyScheduling() {
  if (syscall(SYS_mbind, 0UL, 0UL, MPOL_DEFAULT, nullptr, 0UL, MPOL_MF_MOVE_ALL) == 0) {
    return true;
  }
  if (errno != ENOSYS) {
    return false;
  }
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3]{};
  if (syscall(SYS_capget, &header, data) != 0) {
    return false;
  }
  return (data[CAP_TO_INDEX(CAP_SYS_NICE)].effective & CAP_TO_MASK(CAP_SYS_NICE)) != 0 &&
         InInitialUserNamespace();
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

// Whether a thread without privilege, once at nice value changed, could go
// back to nice value original.
bool UnprivilegedMayUndoNice(int changed, int original) {
  return original >= changed || MayTakeNice(original);
}

// Whether a thread without privilege, once under schedule changed, could go
// back to schedule original; nice stays.
bool UnprivilegedMayUndoSchedule(const Schedule& changed, const Schedule& original, int nice) {
  if (IsRealTime(original.policy)) {
    const rlim_t limit = SoftLimit(RLIMIT_RTPRIO);
    if (original.policy != changed.policy && limit == 0) {
      return false;
    }
    const int changedPriority = IsRealTime(changed.policy) ? changed.priority : 0;
    if (original.priority > changedPriority && limit != RLIM_INFINITY &&
        static_cast<rlim_t>(original.priority) > limit) {
      return false;
    }
  }
  if (changed.policy == SCHED_IDLE && original.policy != SCHED_IDLE && !MayTakeNice(nice)) {
    return false;
  }
  return !(changed.resetOnFork && !original.resetOnFork);
}

// Whether a spin under a real-time policy stays within RLIMIT_RTTIME.
bool RealTimeSpinFitsLimit() {
  const rlim_t limit = SoftLimit(RLIMIT_RTTIME);
  return limit == RLIM_INFINITY || limit >= kRealTimeSpinMicroseconds;
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

// Every real-time schedule reads back as a tagged value: time critical is
// what the meter asks for before its spin, never what it puts back.
std::int32_t PriorityForSchedule(const Schedule& schedule) {
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

timespec ReadClock(clockid_t clock) {
  timespec now{};
  clock_gettime(clock, &now);
  return now;
}

}  // namespace

namespace plat {

bool CounterReadable() {
  int mode = 0;
  if (prctl(PR_GET_TSC, &mode, 0, 0, 0) != 0) {
    // A kernel without the question cannot refuse the counter either; one
    // that turns the question away (a seccomp filter, a security module)
    // might, so the answer is no.
    return errno == EINVAL;
  }
  return mode == PR_TSC_ENABLE;
}

bool QueryCounterFrequency(std::int64_t& ticksPerSecond) {
  ticksPerSecond = kNanosecondsPerSecond;
  return true;
}

std::int64_t QueryCounter() {
  const timespec now = ReadClock(CLOCK_MONOTONIC);
  return static_cast<std::int64_t>(now.tv_sec) * kNanosecondsPerSecond + now.tv_nsec;
}

std::uint64_t GetSystemTime() {
  const timespec now = ReadClock(CLOCK_REALTIME_COARSE);
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
  // The change must be one the process can undo afterwards.
  if (!UnprivilegedMayUndoNice(target, current) && !MayChangeAnyScheduling()) {
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
  // The change must be one the process can undo afterwards.
  if ((priority == kThreadPriorityTimeCritical && !RealTimeSpinFitsLimit()) ||
      (!UnprivilegedMayUndoSchedule(target, current, nice) && !MayChangeAnyScheduling())) {
    return false;
  }
  const sched_param param{target.priority};
  const int policy = target.policy | (target.resetOnFork ? SCHED_RESET_ON_FORK : 0);
  return sched_setscheduler(CallingThread(), policy, &param) == 0;
}

}  // namespace plat
