// What the Linux tests share: a thread's scheduling as the kernel reports it,
// CAP_SYS_NICE, and bodies run on a thread or in a process of their own.
#pragma once

#include <linux/capability.h>
#include <linux/mempolicy.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ostream>
#include <thread>

inline pid_t ThisThread() { return static_cast<pid_t>(syscall(SYS_gettid)); }

// Scheduling of one thread as the kernel reports it to anyone.
struct Observed {
  int policy;
  int priority;
  int nice;
  bool operator==(const Observed& other) const {
    return policy == other.policy && priority == other.priority && nice == other.nice;
  }
};

inline Observed Observe(pid_t thread) {
  sched_param param{};
  sched_getparam(thread, &param);
  errno = 0;
  const int nice = getpriority(PRIO_PROCESS, static_cast<id_t>(thread));
  return {sched_getscheduler(thread), param.sched_priority, nice};
}

inline void PrintTo(const Observed& state, std::ostream* out) {
  *out << "{policy " << state.policy << ", priority " << state.priority << ", nice " << state.nice
       << "}";
}

// CAP_SYS_NICE as the module asks for it: held, in the initial user
// namespace, and not refused by the kernel's own check.
inline bool Privileged() {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[2]{};
  char name[32] = {};
  const ssize_t length = readlink("/proc/self/ns/user", name, sizeof name - 1);
  const bool initial = length > 0 && std::strcmp(name, "user:[4026531837]") == 0;
  const bool refused =
      syscall(SYS_mbind, 0UL, 0UL, MPOL_DEFAULT, nullptr, 0UL, MPOL_MF_MOVE_ALL) != 0 &&
      errno != ENOSYS;
  return syscall(SYS_capget, &header, data) == 0 &&
         (data[0].effective & CAP_TO_MASK(CAP_SYS_NICE)) != 0 && initial && !refused;
}

// Drops CAP_SYS_NICE from the calling thread only: capabilities are per
// thread on Linux. False when it could not.
inline bool DropSchedulingPrivilege() {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[2]{};
  if (syscall(SYS_capget, &header, data) != 0) {
    return false;
  }
  data[0].effective &= ~CAP_TO_MASK(CAP_SYS_NICE);
  return syscall(SYS_capset, &header, data) == 0;
}

// Runs body on a thread of its own so that scheduling changes and dropped
// privileges die with it.
template <typename Body>
void OnOwnThread(Body body) {
  std::thread thread(body);
  thread.join();
}

// Runs body in a child process and gives its exit status, or -signal when
// a signal ended it.
template <typename Body>
int InChild(Body body) {
  const pid_t child = fork();
  if (child == 0) {
    _exit(body());
  }
  int status = 0;
  waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
}
