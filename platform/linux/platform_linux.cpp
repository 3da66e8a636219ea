// The platform layer on Linux: counters from the kernel's clocks, and the
// priority class and thread priority carried onto the real scheduling of the
// calling thread (scheduling_rules.h has the tables and the rules).
//
// A change this process could not undo afterwards is refused and changes
// nothing. So is a real-time policy wherever a soft RLIMIT_RTTIME applies:
// the kernel adds every spin under a real-time policy to one count, which a
// thread that never sleeps while real-time never clears, and ends the host
// with SIGXCPU once the count reaches the limit.
//
// The clocks: the wall clock that decides whether an update is due is the
// kernel's tick (CLOCK_REALTIME_COARSE), which the vDSO serves without a
// system call and without reading the time-stamp counter. The counter that
// times the wait is CLOCK_MONOTONIC_RAW, which no time daemon slews; it may
// read the time-stamp counter, so it is read only after CounterReadable.
#include <linux/capability.h>
#include <linux/mempolicy.h>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "platform/linux/scheduling_rules.h"
#include "platform/platform.h"

namespace {

using plat::scheduling::Schedule;
using plat::scheduling::SchedulingLimits;

constexpr std::int64_t kNanosecondsPerSecond = 1'000'000'000;
constexpr std::int64_t kSecondsFrom1601To1970 = 11'644'473'600;
constexpr std::int64_t kNanosecondsPerSystemTick = 100;
constexpr std::int64_t kSystemTicksPerSecond = kNanosecondsPerSecond / kNanosecondsPerSystemTick;

// The link /proc/self/ns/user names the process's user namespace by its
// inode number. The initial namespace's is fixed (PROC_USER_INIT_INO,
// 0xEFFFFFFD), and no other namespace is given it.
constexpr char kUserNamespaceLink[] = "/proc/self/ns/user";
constexpr char kInitialUserNamespace[] = "user:[4026531837]";

// The clock that times the waits. Each wait picks it once, at its frequency
// query, so that no wait mixes two clocks.
std::atomic<clockid_t> gCounterClock{CLOCK_MONOTONIC_RAW};

pid_t CallingThread() { return static_cast<pid_t>(syscall(SYS_gettid)); }

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
  return plat::scheduling::IsValidSchedule(schedule);
}

// A soft limit; a refused question counts as the tightest limit.
rlim_t SoftLimit(int resource) {
  rlimit limit{};
  return getrlimit(resource, &limit) == 0 ? limit.rlim_cur : 0;
}

SchedulingLimits ReadLimits() { return {SoftLimit(RLIMIT_NICE), SoftLimit(RLIMIT_RTPRIO)}; }

bool HoldsSysNice() {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3]{};
  return syscall(SYS_capget, &header, data) == 0 &&
         (data[CAP_TO_INDEX(CAP_SYS_NICE)].effective & CAP_TO_MASK(CAP_SYS_NICE)) != 0;
}

// The kernel judges scheduling changes against the initial user namespace:
// CAP_SYS_NICE held only inside another one does not count. The link's text
// is read, not the file it names: that makes the kernel build no inode.
bool InInitialUserNamespace() {
  char name[sizeof kInitialUserNamespace];
  const ssize_t length = readlink(kUserNamespaceLink, name, sizeof name);
  return length == static_cast<ssize_t>(sizeof name - 1) &&
         std::memcmp(name, kInitialUserNamespace, sizeof name - 1) == 0;
}

// mbind with MPOL_MF_MOVE_ALL asks capable(CAP_SYS_NICE) before anything
// else, security modules included, and over an empty range changes nothing.
// Its refusal is final; its success is not proof, as a filter may fake it,
// and a kernel without NUMA support has no mbind.
bool KernelRefusesSysNice() {
  return syscall(SYS_mbind, 0UL, 0UL, MPOL_DEFAULT, nullptr, 0UL, MPOL_MF_MOVE_ALL) != 0 &&
         errno != ENOSYS;
}

// CAP_SYS_NICE where the kernel counts it lets the process undo any change it
// makes. No single answer grants it: the effective set, the namespace and
// the kernel's own judgement must all agree.
bool MayChangeAnyScheduling() {
  return HoldsSysNice() && !KernelRefusesSysNice() && InInitialUserNamespace();
}

// Whether a spin under a real-time policy can never run into RLIMIT_RTTIME.
bool NoRealTimeBudget() { return SoftLimit(RLIMIT_RTTIME) == RLIM_INFINITY; }

}  // namespace

namespace plat {

bool CounterReadable() {
  int mode = 0;
  // A refused question counts as no, whatever the error: every kernel the C
  // library runs on knows it, so an error comes from a filter or a security
  // module that may refuse the counter too.
  return prctl(PR_GET_TSC, &mode, 0, 0, 0) == 0 && mode == PR_TSC_ENABLE;
}

bool QueryCounterFrequency(std::int64_t& ticksPerSecond) {
  // The raw clock, unless it is refused (a sandbox that errors it).
  timespec probe{};
  gCounterClock.store(
      clock_gettime(CLOCK_MONOTONIC_RAW, &probe) == 0 ? CLOCK_MONOTONIC_RAW : CLOCK_MONOTONIC,
      std::memory_order_relaxed);
  ticksPerSecond = kNanosecondsPerSecond;
  return true;
}

bool QueryCounter(std::int64_t& ticks) {
  timespec now{};
  if (clock_gettime(gCounterClock.load(std::memory_order_relaxed), &now) != 0) {
    return false;
  }
  ticks = static_cast<std::int64_t>(now.tv_sec) * kNanosecondsPerSecond + now.tv_nsec;
  return true;
}

std::uint64_t GetSystemTime() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME_COARSE, &now);
  const std::int64_t seconds = static_cast<std::int64_t>(now.tv_sec) + kSecondsFrom1601To1970;
  return static_cast<std::uint64_t>(seconds * kSystemTicksPerSecond +
                                    now.tv_nsec / kNanosecondsPerSystemTick);
}

std::uint32_t GetPriorityClass() {
  int nice = 0;
  return ReadNice(nice) ? scheduling::ClassForNice(nice) : 0;
}

bool SetPriorityClass(std::uint32_t priorityClass) {
  int target = 0;
  int current = 0;
  if (!scheduling::NiceForClass(priorityClass, target) || !ReadNice(current)) {
    return false;
  }
  // The change must be one the process can undo afterwards.
  if (!scheduling::UnprivilegedMayUndoNice(target, current, ReadLimits()) &&
      !MayChangeAnyScheduling()) {
    return false;
  }
  return setpriority(PRIO_PROCESS, static_cast<id_t>(CallingThread()), target) == 0;
}

std::int32_t GetThreadPriority() {
  Schedule schedule{};
  return ReadSchedule(schedule) ? scheduling::PriorityForSchedule(schedule)
                                : kThreadPriorityErrorReturn;
}

bool SetThreadPriority(std::int32_t priority) {
  Schedule target{};
  Schedule current{};
  int nice = 0;
  if (!scheduling::ScheduleForPriority(priority, target) || !ReadSchedule(current) ||
      !ReadNice(nice)) {
    return false;
  }
  // Real time only where its budget cannot run out, and the change must be
  // one the process can undo afterwards.
  if ((priority == kThreadPriorityTimeCritical && !NoRealTimeBudget()) ||
      (!scheduling::UnprivilegedMayUndoSchedule(target, current, nice, ReadLimits()) &&
       !MayChangeAnyScheduling())) {
    return false;
  }
  const sched_param param{target.priority};
  const int policy = target.policy | (target.resetOnFork ? SCHED_RESET_ON_FORK : 0);
  return sched_setscheduler(CallingThread(), policy, &param) == 0;
}

}  // namespace plat
