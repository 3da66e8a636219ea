// The Linux platform and meter under a sandbox that answers system calls for
// the kernel, inside user namespaces, and under a real-time budget: nothing
// ends the host, and no change is made that could not be undone.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>

#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "plugin/plugin_api.h"
#include "tests/linux/thread_state.h"
#include "tests/test_helpers.h"

namespace {

constexpr int kNotAnswered = -1;

// Answers one system call with error (0: a faked success) instead of running
// it, where its first argument is firstArgument (any, where negative); lets
// every other call run. For the calling thread and the children it makes.
bool AnswerSystemCall(long number, int error, long firstArgument = -1) {
  const bool matchArgument = firstArgument >= 0;
  std::vector<sock_filter> filter{
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<std::uint32_t>(number), 0,
               static_cast<std::uint8_t>(matchArgument ? 3 : 1))};
  if (matchArgument) {
    filter.push_back(BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args)));
    filter.push_back(
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<std::uint32_t>(firstArgument), 0, 1));
  }
  filter.push_back(BPF_STMT(
      BPF_RET | BPF_K, SECCOMP_RET_ERRNO | (static_cast<std::uint32_t>(error) & SECCOMP_RET_DATA)));
  filter.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
  const sock_fprog program{static_cast<unsigned short>(filter.size()), filter.data()};
  return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
         syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, 0, &program) == 0;
}

// Lets the calling process make no system call but exit_group; any other
// kills it.
void AllowNoSystemCall() {
  sock_filter filter[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_exit_group, 0, 1),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_KILL_PROCESS),
  };
  const sock_fprog program{static_cast<unsigned short>(std::size(filter)), filter};
  prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0);
  syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, 0, &program);
}

bool WriteFile(const std::string& path, const char* text) {
  const int file = open(path.c_str(), O_WRONLY | O_CLOEXEC);
  if (file < 0) {
    return false;
  }
  const auto length = static_cast<ssize_t>(std::strlen(text));
  const bool written = write(file, text, static_cast<std::size_t>(length)) == length;
  close(file);
  return written;
}

// Runs body in a child process inside a new user namespace. uidMap, where it
// is not empty, is written by this process, from the initial namespace, as
// the child's identity map. Gives the child's exit status, -signal when a
// signal ended it, or 99 when no such namespace can be made here.
template <typename Body>
int InUserNamespace(const char* uidMap, Body body) {
  int ready[2];
  int mapped[2];
  if (pipe(ready) != 0 || pipe(mapped) != 0) {
    return 99;
  }
  const pid_t child = fork();
  if (child == 0) {
    char made = unshare(CLONE_NEWUSER) == 0 ? 1 : 0;
    char go = 0;
    if (write(ready[1], &made, 1) != 1 || made == 0 || read(mapped[0], &go, 1) != 1 || go == 0) {
      _exit(99);
    }
    _exit(body());
  }
  char made = 0;
  const bool unshared = read(ready[0], &made, 1) == 1 && made == 1;
  const char go = unshared && (*uidMap == '\0' ||
                               WriteFile("/proc/" + std::to_string(child) + "/uid_map", uidMap))
                      ? 1
                      : 0;
  const bool told = write(mapped[1], &go, 1) == 1;
  for (int file : {ready[0], ready[1], mapped[0], mapped[1]}) {
    close(file);
  }
  int status = 0;
  waitpid(child, &status, 0);
  if (!told || go == 0) {
    return 99;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
}

// A thread refused the time-stamp counter (PR_TSC_SIGSEGV) gets the failure
// text with its scheduling untouched, and never reads the counter: asked
// truly, and however a filter refuses the question (an answer that counts as
// no). Allowed again, the same instance measures.
TEST(Sandbox, RefusedCounterGivesTheFailureTextWithSchedulingUntouched) {
  for (const int error : {kNotAnswered, EPERM, EINVAL, ENOSYS, 0}) {
    const int status = InChild([error] {
      MeterInstance* instance = dllstartup(0, 0);
      const Observed before = Observe(ThisThread());
      if (instance == nullptr || prctl(PR_SET_TSC, PR_TSC_SIGSEGV, 0, 0, 0) != 0 ||
          (error != kNotAnswered && !AnswerSystemCall(SYS_prctl, error, PR_GET_TSC))) {
        return 99;
      }
      if (std::strcmp(GetCPUSpeed(instance, "0", "30", "4"), kFailureText) != 0) {
        return 1;
      }
      if (!(Observe(ThisThread()) == before)) {
        return 2;
      }
      prctl(PR_SET_TSC, PR_TSC_ENABLE, 0, 0, 0);
      const bool measures = std::strcmp(GetCPUSpeed(instance, "0", "30", "4"), kFailureText) != 0;
      return error != kNotAnswered || measures ? 0 : 3;
    });
    EXPECT_EQ(status, 0) << "PR_GET_TSC answered with error " << error
                         << "; 1: a reading, 2: the scheduling changed, 3: no reading once "
                         << "allowed, -11: the counter was read";
  }
}

// CAP_SYS_NICE counts where the kernel counts it, in the initial user
// namespace, and no single answer grants it: not mbind's (a filter fakes it,
// and kernels without NUMA have none), nor a map that looks like the initial
// namespace's. Where it does not count, a change that could not be undone
// (nice 10 from 0 under RLIMIT_NICE 0, SCHED_IDLE) is refused.
TEST(Sandbox, CapabilityCountsOnlyWhereTheKernelCountsIt) {
  if (!Privileged()) {
    GTEST_SKIP() << "needs CAP_SYS_NICE to have one to judge";
  }
  struct Case {
    const char* what;
    const char* uidMap;  // nullptr: the initial namespace
    bool dropCapability;
    int mbindAnswer;
    bool taken;
  };
  const char* const identity = "0 0 4294967295";
  for (const Case& test : {
           Case{"held, no mbind", nullptr, false, ENOSYS, true},
           Case{"held, mbind refused", nullptr, false, EPERM, false},
           Case{"dropped, mbind faked", nullptr, true, 0, false},
           Case{"dropped, no mbind", nullptr, true, ENOSYS, false},
           Case{"identity-mapped namespace, no mbind", identity, false, ENOSYS, false},
           Case{"identity-mapped namespace, mbind faked", identity, false, 0, false},
           Case{"identity-mapped namespace", identity, false, kNotAnswered, false},
           Case{"partly mapped namespace, no mbind", "0 0 1000", false, ENOSYS, false},
           Case{"namespace mapped in two lines, no mbind", "0 0 1\n1 1 4294967294\n", false, ENOSYS,
                false},
           Case{"unmapped namespace", "", false, kNotAnswered, false},
       }) {
    const auto body = [&test] {
      rlimit nice{};
      getrlimit(RLIMIT_NICE, &nice);
      nice.rlim_cur = 0;
      if (setrlimit(RLIMIT_NICE, &nice) != 0 ||
          (test.dropCapability && !DropSchedulingPrivilege()) ||
          (test.mbindAnswer != kNotAnswered && !AnswerSystemCall(SYS_mbind, test.mbindAnswer))) {
        return 99;
      }
      const Observed before = Observe(ThisThread());
      const std::uint32_t priorityClass = plat::GetPriorityClass();
      const std::int32_t priority = plat::GetThreadPriority();
      const bool classTaken = plat::SetPriorityClass(plat::kBelowNormalPriorityClass);
      const bool classUndone = !classTaken || plat::SetPriorityClass(priorityClass);
      const bool idleTaken = plat::SetThreadPriority(plat::kThreadPriorityIdle);
      const bool idleUndone = !idleTaken || plat::SetThreadPriority(priority);
      if (classTaken != test.taken || idleTaken != test.taken) {
        return 1;
      }
      return classUndone && idleUndone && Observe(ThisThread()) == before ? 0 : 2;
    };
    const int status = test.uidMap == nullptr ? InChild(body) : InUserNamespace(test.uidMap, body);
    if (status == 99 && test.uidMap != nullptr) {
      continue;  // no user namespace can be made here
    }
    EXPECT_EQ(status, 0) << test.what << "; 1: a change was " << (test.taken ? "refused" : "made")
                         << ", 2: the thread was left changed, 99: no setup";
  }
}

// The kernel adds every spin under a real-time policy to one count, which a
// thread that never sleeps while real-time never clears: under any soft
// RLIMIT_RTTIME the count would reach it in the end, and SIGXCPU end the
// host. The boost is refused and the measurement runs without it.
TEST(Sandbox, RealTimeBoostIsRefusedUnderAnyRealTimeBudget) {
  if (!Privileged()) {
    GTEST_SKIP() << "needs CAP_SYS_NICE for real-time policies";
  }
  for (const rlim_t microseconds : {20'000UL, 1'000'000UL, 10'000'000UL}) {
    const int status = InChild([microseconds] {
      const rlimit budget{microseconds, RLIM_INFINITY};
      if (setrlimit(RLIMIT_RTTIME, &budget) != 0) {
        return 99;
      }
      const Observed before = Observe(ThisThread());
      if (plat::SetThreadPriority(plat::kThreadPriorityTimeCritical)) {
        return 1;
      }
      MeasureOnce(1, 50, plat::kThreadPriorityTimeCritical, 0);
      return Observe(ThisThread()) == before ? 0 : 2;
    });
    EXPECT_EQ(status, 0) << microseconds << " us: 1 the boost was taken, 2 the thread was left "
                         << "changed, 99 no limit could be set, negative: a signal ended it";
  }
}

// A call that is not due reads the coarse wall clock only: no system call,
// and no time-stamp read, which faults where the counter is refused.
TEST(SandboxDeathTest, CallsThatAreNotDueMakeNoSystemCallAndReadNoTimeStamp) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        MeterInstance* instance = dllstartup(0, 0);
        const char* measured = GetCPUSpeed(instance, "3600", "15", "2");
        prctl(PR_SET_TSC, PR_TSC_SIGSEGV, 0, 0, 0);
        AllowNoSystemCall();
        int changed = 0;
        for (int call = 0; call < 1000; ++call) {
          changed += GetCPUSpeed(instance, "3600", "30", "4") == measured ? 0 : 1;
        }
        syscall(SYS_exit_group, changed == 0 ? 7 : 8);
      },
      ::testing::ExitedWithCode(7), "");
}

}  // namespace
