// The Linux platform and meter under a sandbox that answers system calls for
// the kernel, inside user namespaces, and under a real-time budget: nothing
// ends the host, and no change is made that could not be undone.
#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <utility>
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
// the child's user and group identity maps. Gives the child's exit status, -signal when a
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
  const std::string process = "/proc/" + std::to_string(child);
  const char go = unshared && (*uidMap == '\0' || (WriteFile(process + "/uid_map", uidMap) &&
                                                   WriteFile(process + "/gid_map", uidMap)))
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
// host. Under a budget no spin runs under real time: the boost is refused,
// a host thread on a real-time policy of its own spins as SCHED_OTHER, and
// one that could not come back from there (RLIMIT_RTPRIO 0, unprivileged)
// gets the failure text without a spin. Every call leaves it as found.
TEST(Sandbox, NoSpinUnderRealTimeWhereARealTimeBudgetApplies) {
  if (!Privileged()) {
    GTEST_SKIP() << "needs CAP_SYS_NICE for real-time policies";
  }
  struct Case {
    const char* what;
    int policy;
    int priority;
    rlim_t microseconds;
    bool unprivileged;
    const char* threadLevel;
    bool measures;
  };
  for (const Case& test : {
           Case{"ordinary thread, 20 ms", SCHED_OTHER, 0, 20'000, false, "30", true},
           Case{"ordinary thread, 10 s", SCHED_OTHER, 0, 10'000'000, false, "30", true},
           Case{"SCHED_FIFO 10, 20 ms", SCHED_FIFO, 10, 20'000, false, "30", true},
           Case{"SCHED_FIFO 10 at level 15, 20 ms", SCHED_FIFO, 10, 20'000, false, "15", true},
           Case{"unprivileged SCHED_RR 10, reset on fork, 20 ms", SCHED_RR | SCHED_RESET_ON_FORK,
                10, 20'000, true, "15", false},
       }) {
    const int status = InChild([&test] {
      const sched_param param{test.priority};
      const rlimit budget{test.microseconds, RLIM_INFINITY};
      const rlimit noRealTime{0, 0};
      if (sched_setscheduler(0, test.policy, &param) != 0 ||
          setrlimit(RLIMIT_RTTIME, &budget) != 0 ||
          (test.unprivileged &&
           (setrlimit(RLIMIT_RTPRIO, &noRealTime) != 0 || !DropSchedulingPrivilege()))) {
        return 99;
      }
      const Observed before = Observe(ThisThread());
      MeterInstance* instance = dllstartup(0, 0);
      for (int call = 0; call < 5; ++call) {
        const bool failed =
            std::strcmp(GetCPUSpeed(instance, "0", test.threadLevel, "2"), kFailureText) == 0;
        if (failed == test.measures) {
          return 2;
        }
        if (!(Observe(ThisThread()) == before)) {
          return 3;
        }
      }
      return plat::SetThreadPriority(plat::kThreadPriorityTimeCritical) ? 1 : 0;
    });
    EXPECT_EQ(status, 0) << test.what << ": 1 the boost was taken, 2 a call "
                         << (test.measures ? "failed" : "measured") << ", 3 the thread was left "
                         << "changed, 99 no setup, -" << SIGXCPU << ": SIGXCPU ended the host";
  }
}

// Root whose CAP_SYS_NICE the module cannot confirm (a filter refuses one of
// its questions, or a chroot has no /proc) still has its changes granted by
// the kernel: a lowered nice value, or a time-critical thread. Each is put
// back as found, not judged as a new change. So is a thread whose process
// drops to an unprivileged user in the middle of the spin: its policy comes
// back, with the reset-on-fork flag it may no longer clear.
TEST(Sandbox, RestoresSetWhatWasFoundWhereThePrivilegeIsUnconfirmed) {
  if (!Privileged()) {
    GTEST_SKIP() << "needs CAP_SYS_NICE for changes the kernel grants";
  }
  struct Case {
    const char* what;
    long refusedCall;  // -1: none
    bool chrootWithoutProc;
    bool dropUserMidSpin;
  };
  char emptyFolder[] = "/tmp/meter-chroot-XXXXXX";
  ASSERT_NE(mkdtemp(emptyFolder), nullptr);
  for (const Case& test : {Case{"readlink refused", SYS_readlink, false, false},
                           Case{"capget refused", SYS_capget, false, false},
                           Case{"mbind refused", SYS_mbind, false, false},
                           Case{"chroot without /proc", -1, true, false},
                           Case{"drops to nobody mid-spin", -1, false, true}}) {
    const int status = InChild([&test, &emptyFolder] {
      if ((test.chrootWithoutProc && chroot(emptyFolder) != 0) ||
          (test.refusedCall >= 0 && !AnswerSystemCall(test.refusedCall, EPERM))) {
        return 99;
      }
      MeterInstance* instance = dllstartup(0, 0);
      const Observed before = Observe(ThisThread());
      const std::pair<const char*, const char*> levels[] = {
          {"30", "5"}, {"15", "5"}, {"30", "4"}, {"0", "3"}};
      for (const auto& [threadLevel, classLevel] : levels) {
        std::atomic<bool> done{false};
        std::atomic<bool> dropped{false};
        std::thread dropper;
        if (test.dropUserMidSpin) {
          // Drops as soon as the spin runs time-critical.
          dropper = std::thread([&done, &dropped, measuring = ThisThread()] {
            while (!done) {
              if (Observe(measuring).policy == (SCHED_FIFO | SCHED_RESET_ON_FORK)) {
                dropped = setresuid(65534, 65534, 65534) == 0;  // for every thread
                return;
              }
            }
          });
        }
        GetCPUSpeed(instance, "0", threadLevel, classLevel);
        done = true;
        Observed after = Observe(ThisThread());
        if (test.dropUserMidSpin) {
          dropper.join();
          after.policy &= ~SCHED_RESET_ON_FORK;
          return !dropped ? 97 : after == before ? 0 : 1;
        }
        if (!(after == before)) {
          return 1;
        }
      }
      return 0;
    });
    if (status == 97) {
      continue;  // the spin ended before the other thread saw it
    }
    EXPECT_EQ(status, 0) << test.what << ": 1 the thread was left changed, 99 no setup";
  }
  rmdir(emptyFolder);
}

// Answers that make no sense, and questions refused, count as none, and as
// the tightest limit: a filter that fakes getpriority's success gives nice
// 20, one that refuses it leaves errno set whatever value comes back, and a
// refused limit question is no limit to rely on. Neither may lead to a
// change that cannot be undone (nice 10 and SCHED_IDLE, from levels 0 and 1)
// or to a real-time boost. Nor may a user namespace whose own /proc holds a
// link that reads like the initial namespace's, where mbind has no answer.
TEST(Sandbox, AnswersThatMakeNoSenseChangeNothing) {
  if (!Privileged()) {
    GTEST_SKIP() << "needs CAP_SYS_NICE to have answers to fake";
  }
  // RLIMIT_NICE 0, the sandbox's answers, then levels 0 and 1.
  const auto levelsZeroAndOneChangeNothing = [](const auto& sandbox) {
    rlimit nice{};
    getrlimit(RLIMIT_NICE, &nice);
    nice.rlim_cur = 0;
    if (setrlimit(RLIMIT_NICE, &nice) != 0 || !sandbox()) {
      return 99;
    }
    const Observed before = Observe(ThisThread());
    MeterInstance* instance = dllstartup(0, 0);
    GetCPUSpeed(instance, "0", "0", "1");
    if (plat::SetThreadPriority(plat::kThreadPriorityTimeCritical)) {
      return 2;
    }
    return Observe(ThisThread()) == before ? 0 : 1;
  };
  struct Case {
    const char* what;
    long call;
    int answer;
    bool dropCapability;
  };
  for (const Case& test : {Case{"getpriority faked", SYS_getpriority, 0, false},
                           Case{"getpriority refused", SYS_getpriority, EPERM, false},
                           Case{"prlimit64 refused, unprivileged", SYS_prlimit64, EPERM, true}}) {
    EXPECT_EQ(InChild([&] {
                return levelsZeroAndOneChangeNothing([&test] {
                  return (!test.dropCapability || DropSchedulingPrivilege()) &&
                         AnswerSystemCall(test.call, test.answer);
                });
              }),
              0)
        << test.what << ": 1 the thread was left changed, 2 the boost was taken";
  }
  const int status = InUserNamespace("0 0 4294967295", [&] {
    const int result = levelsZeroAndOneChangeNothing([] {
      return unshare(CLONE_NEWNS) == 0 &&
             mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
             mount("none", "/proc", "tmpfs", 0, nullptr) == 0 && mkdir("/proc/self", 0755) == 0 &&
             mkdir("/proc/self/ns", 0755) == 0 &&
             symlink("user:[4026531837]", "/proc/self/ns/user") == 0 &&
             AnswerSystemCall(SYS_mbind, ENOSYS);
    });
    return result == 99 ? 98 : result;
  });
  if (status != 99) {  // 99: no user namespace can be made here
    EXPECT_EQ(status, 0) << "a faked namespace link: 1 the thread was left changed, 98 no setup";
  }
}

// An interposed clock library that refuses the raw clock to one thread: the
// other thread's waits stay on the raw clock, as each wait owns its clock.
thread_local bool tRawClockRefused = false;

}  // namespace

// NOLINTNEXTLINE(readability-inconsistent-declaration-parameter-name): the C library's are reserved
extern "C" int clock_gettime(clockid_t clock, timespec* now) {
  using ClockGettime = int (*)(clockid_t, timespec*);
  static const auto real = reinterpret_cast<ClockGettime>(dlsym(RTLD_NEXT, "clock_gettime"));
  if (clock == CLOCK_MONOTONIC_RAW && tRawClockRefused) {
    errno = EINVAL;
    return -1;
  }
  return real(clock, now);
}

namespace {

TEST(Sandbox, EachWaitOwnsItsClock) {
  std::vector<std::int32_t> readings[2];
  std::vector<std::thread> threads;
  threads.reserve(2);
  for (int refused = 0; refused < 2; ++refused) {
    threads.emplace_back([&readings, refused] {
      tRawClockRefused = refused != 0;
      MeterInstance* instance = dllstartup(0, 0);
      for (int call = 0; call < 20; ++call) {
        readings[refused].push_back(static_cast<std::int32_t>(
            std::strtol(GetCPUSpeed(instance, "0", "15", "2"), nullptr, 10)));
      }
      dllshutdown(instance);
    });
  }
  for (std::thread& thread : threads) {
    thread.join();
  }
  const std::int32_t reference = MeasureOnce(1, 50, plat::kThreadPriorityErrorReturn, 0);
  int close = 0;
  for (const std::int32_t reading : readings[0]) {
    close += std::abs(reading - reference) <= 1 ? 1 : 0;
  }
  EXPECT_GE(close, 18) << "reference " << reference << ", readings on the raw clock "
                       << ::testing::PrintToString(readings[0]) << ", on the other "
                       << ::testing::PrintToString(readings[1]);
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
