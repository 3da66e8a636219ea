// The platform layer on Linux: counters from the kernel's clocks, and the
// priority class and thread priority carried onto the real scheduling of the
// calling thread (scheduling_rules.h has the tables and the rules).
//
// A new change this process could not undo afterwards is refused and changes
// nothing; a restore sets what was found. No spin runs under a real-time
// policy wherever a soft RLIMIT_RTTIME applies: the kernel adds every spin
// under a real-time policy to one count, which a thread that never sleeps
// while real-time never clears, and ends the host with SIGXCPU once the
// count reaches the limit.
//
// The clocks: the wall clock that decides whether an update is due is the
// kernel's tick (CLOCK_REALTIME_COARSE), which the vDSO serves without a
// system call and without reading the time-stamp counter. The counter that
// times the wait is CLOCK_MONOTONIC_RAW, which no time daemon slews; it may
// read the time-stamp counter, so it is read only after CounterReadable.
#include <linux/capability.h>
#include <linux/magic.h>
#include <linux/mempolicy.h>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

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
constexpr ino_t kInitialUserNamespaceInode = 0xEFFFFFFD;

pid_t CallingThread() { return static_cast<pid_t>(syscall(SYS_gettid)); }

// A nice value outside the kernel's range is no answer: a filter that fakes
// getpriority's success gives 20.
bool ReadNice(int& nice) {
  errno = 0;
  nice = getpriority(PRIO_PROCESS, static_cast<id_t>(CallingThread()));
  return errno == 0 && plat::scheduling::IsValidNice(nice);
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

// The namespace file itself, where nothing better answers: the initial
// namespace's inode on the namespace file system. A link text can be faked
// with a file system of one's own; this costs the kernel an inode (25-40 us).
bool InitialUserNamespaceInode() {
  struct stat file {};
  struct statfs system {};
  return stat(kUserNamespaceLink, &file) == 0 && file.st_ino == kInitialUserNamespaceInode &&
         statfs(kUserNamespaceLink, &system) == 0 &&
         static_cast<unsigned long>(system.f_type) == NSFS_MAGIC;
}

// mbind with MPOL_MF_MOVE_ALL asks capable(CAP_SYS_NICE) before anything
// else, security modules included, and over an empty range changes nothing.
// Its refusal is final; its success is not proof, as a filter may fake it.
// A kernel without NUMA support has no mbind (ENOSYS): the namespace's inode
// must then confirm what the link's text says.
bool KernelAllowsSysNice() {
  if (syscall(SYS_mbind, 0UL, 0UL, MPOL_DEFAULT, nullptr, 0UL, MPOL_MF_MOVE_ALL) == 0) {
    return true;
  }
  return errno == ENOSYS && InitialUserNamespaceInode();
}

// CAP_SYS_NICE where the kernel counts it lets the process undo any change it
// makes. No single answer grants it: the effective set, the namespace and
// the kernel's own judgement must all agree.
bool MayChangeAnyScheduling() {
  return HoldsSysNice() && InInitialUserNamespace() && KernelAllowsSysNice();
}

// Whether a thread without privilege could undo the change, or the process
// holds the privilege.
bool MayUndo(const Schedule& changed, const Schedule& original, int nice,
             const SchedulingLimits& limits) {
  return plat::scheduling::UnprivilegedMayUndoSchedule(changed, original, nice, limits) ||
         MayChangeAnyScheduling();
}

bool ApplySchedule(const Schedule& schedule) {
  const sched_param param{schedule.priority};
  const int policy = schedule.policy | (schedule.resetOnFork ? SCHED_RESET_ON_FORK : 0);
  return sched_setscheduler(CallingThread(), policy, &param) == 0;
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

bool QueryCounterFrequency(std::int64_t& ticksPerSecond, CounterClock& clock) {
  // The raw clock, unless it is refused (a sandbox that errors it).
  timespec probe{};
  clock = clock_gettime(CLOCK_MONOTONIC_RAW, &probe) == 0 ? CLOCK_MONOTONIC_RAW : CLOCK_MONOTONIC;
  ticksPerSecond = kNanosecondsPerSecond;
  return true;
}

bool QueryCounter(CounterClock clock, std::int64_t& ticks) {
  timespec now{};
  if (clock_gettime(clock, &now) != 0) {
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

bool RestorePriorityClass(std::uint32_t priorityClass) {
  int found = 0;
  return scheduling::NiceForClass(priorityClass, found) &&
         setpriority(PRIO_PROCESS, static_cast<id_t>(CallingThread()), found) == 0;
}

// The nice value is the calling thread's own: nothing to share.
bool ClaimPriorityClass() { return true; }
void ReleasePriorityClass() {}

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
  const bool realTimeBudget = !NoRealTimeBudget();
  const SchedulingLimits limits = ReadLimits();
  // Real time only where its budget cannot run out, and the change must be
  // one the process can undo afterwards.
  if (!(realTimeBudget && scheduling::IsRealTime(target.policy)) &&
      MayUndo(target, current, nice, limits) && ApplySchedule(target)) {
    return true;
  }
  // Under a budget, a thread left on a real-time policy of its own would
  // spin on it: it goes to SCHED_OTHER, keeping its reset-on-fork flag, where
  // that can be undone (MaySpin says no where it could not).
  const Schedule ordinary{SCHED_OTHER, 0, current.resetOnFork};
  if (realTimeBudget && scheduling::IsRealTime(current.policy) &&
      MayUndo(ordinary, current, nice, limits)) {
    ApplySchedule(ordinary);
  }
  return false;
}

bool RestoreThreadPriority(std::int32_t priority) {
  Schedule found{};
  if (!scheduling::ScheduleForPriority(priority, found)) {
    return false;
  }
  if (ApplySchedule(found)) {
    return true;
  }
  // Only CAP_SYS_NICE may clear reset-on-fork. A process that lost it during
  // the measurement gets the policy it had back, with the flag kept.
  Schedule current{};
  if (found.resetOnFork || !ReadSchedule(current) || !current.resetOnFork) {
    return false;
  }
  found.resetOnFork = true;
  return ApplySchedule(found);
}

bool MaySpin() {
  if (NoRealTimeBudget()) {
    return true;
  }
  const int policy = sched_getscheduler(CallingThread());
  return policy >= 0 && !scheduling::IsRealTime(policy & ~SCHED_RESET_ON_FORK);
}

}  // namespace plat
