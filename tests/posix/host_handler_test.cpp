// Small hosts with fault handlers of their own, each in a process of its own:
// the module's guard takes only the faults of its own code inside a call, and
// leaves the host's handling as the kernel would have left it.
#include <gtest/gtest.h>
#include <pthread.h>
#include <setjmp.h>
#include <signal.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <time.h>
#include <ucontext.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "tests/module_under_test.h"
#include "tests/processor_faults.h"

namespace {

const char kFailure[] = "An unexpected error was returned";
// A text the host passes that cannot be read (not null, which sanitizers
// would report before the read).
const char* const kUnreadable = reinterpret_cast<const char*>(16);

// In the child process of a death test, a failed check ends it with a message.
void Require(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "failed: %s\n", what);
    std::_Exit(1);
  }
}

#if defined(__SANITIZE_THREAD__)
constexpr bool kUnderThreadSanitizer = true;
#else
constexpr bool kUnderThreadSanitizer = false;
#endif

bool IsReading(const char* text) { return std::strspn(text, "0123456789") == std::strlen(text); }

struct sigaction gFound[NSIG];
sigjmp_buf gLanding;
volatile sig_atomic_t gLandings = 0;
volatile sig_atomic_t gChainEntries = 0;
// How the last resort found the thread: its own signal blocked (it has no
// SA_NODEFER), and on the alternate signal stack or not.
volatile sig_atomic_t gLandedBlocked = 0;
volatile sig_atomic_t gLandedOnAltStack = 0;

bool IsBlocked(int signal) {
  sigset_t mask;
  pthread_sigmask(SIG_SETMASK, nullptr, &mask);
  return sigismember(&mask, signal) == 1;
}

// A host's last resort, installed before the module: jumps back to the host.
void Land(int signal) {
  ++gLandings;
  gLandedBlocked = IsBlocked(signal) ? 1 : 0;
  stack_t stack{};
  sigaltstack(nullptr, &stack);
  gLandedOnAltStack = (stack.ss_flags & SS_ONSTACK) != 0 ? 1 : 0;
  siglongjmp(gLanding, 1);
}

// A host handler installed after the module that passes the fault on to the
// handler it found. A cycle shows as more entries than faults.
void Chain(int signal, siginfo_t* info, void* context) {
  Require(++gChainEntries < 100, "the host's handler is entered again and again");
  gFound[signal].sa_sigaction(signal, info, context);
}

// The same without SA_SIGINFO: it has nothing to pass on but the signal.
void ChainPlain(int signal) {
  ++gChainEntries;
  gFound[signal].sa_sigaction(signal, nullptr, nullptr);
}

void Install(int signal, void (*handler)(int), int flags = 0) {
  struct sigaction action {};
  action.sa_handler = handler;
  action.sa_flags = flags;
  sigaction(signal, &action, &gFound[signal]);
}

void InstallWithInfo(int signal, void (*handler)(int, siginfo_t*, void*)) {
  struct sigaction action {};
  action.sa_sigaction = handler;
  action.sa_flags = SA_SIGINFO;
  sigaction(signal, &action, &gFound[signal]);
}

// A fault of the host's own, outside any call of the module, reaches the
// last resort once, with its signal blocked as the kernel blocks it.
bool HostFaultLands(ScriptedFault fault = ScriptedFault::kAccessViolation) {
  const sig_atomic_t before = gLandings;
  if (sigsetjmp(gLanding, 1) == 0) {
    RaiseFault(fault);
  }
  return gLandings == before + 1 && gLandedBlocked == 1;
}

struct sigaction Current(int signal) {
  struct sigaction action {};
  sigaction(signal, nullptr, &action);
  return action;
}

using HostHandlerDeathTest = ::testing::Test;

// The host installs its handler between two lives of the module's handler,
// then unloads the module.
TEST(HostHandlerDeathTest, HandlerInstalledOverTheModulesMakesNoCycleAndSurvivesUnload) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        Install(SIGSEGV, &Land);
        Module module = LoadModuleUnderTest();
        module.dllshutdown(module.dllstartup(0, 0));
        MeterInstance* first = module.dllstartup(0, 0);
        InstallWithInfo(SIGSEGV, &Chain);
        module.dllshutdown(first);
        MeterInstance* second = module.dllstartup(0, 0);
        Require(HostFaultLands(), "the host's own fault reaches its last resort");
        Require(gChainEntries == 1, "the host's handler runs once per fault");
        gChainEntries = 0;
        Require(std::strcmp(module.getCPUSpeed(second, kUnreadable, "0", "0"), kFailure) == 0,
                "a fault inside the call gives the failure text");
        module.dllshutdown(second);
        sys::UnloadModule(module.loaded);
        Require(HostFaultLands(), "the host's fault passes through the unloaded module");
        std::exit(0);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST(HostHandlerDeathTest, PlainHandlerThatChainsStillLandsTheGuard) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        Module module = LoadModuleUnderTest();
        MeterInstance* instance = module.dllstartup(0, 0);
        Install(SIGSEGV, &ChainPlain);
        for (int round = 0; round < 2; ++round) {
          Require(std::strcmp(module.getCPUSpeed(instance, kUnreadable, "0", "0"), kFailure) == 0,
                  "a fault inside the call gives the failure text");
          Require(!IsBlocked(SIGSEGV), "the fault signal is unblocked again");
        }
        Require(gChainEntries == 2, "the host's handler saw both faults");
        Require(IsReading(module.getCPUSpeed(instance, "0", "15", "2")), "the meter measures");
        module.dllshutdown(instance);
        std::exit(0);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST(HostHandlerDeathTest, OneShotHandlerRunsOnceThenTheDefaultEndsTheProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        Install(SIGSEGV, &Land, SA_RESETHAND);
        Module module = LoadModuleUnderTest();
        module.dllshutdown(module.dllstartup(0, 0));
        MeterInstance* first = module.dllstartup(0, 0);
        Require(HostFaultLands(), "the one-shot handler runs once");
        module.dllshutdown(first);
        Require(Current(SIGSEGV).sa_handler == SIG_DFL, "the default action is back, as used");
        // The host arms its handler again, under the module's next handler.
        Install(SIGSEGV, &Land, SA_RESETHAND);
        module.dllstartup(0, 0);
        Require(HostFaultLands(), "the armed one-shot handler runs once");
        std::fprintf(stderr, "landed twice\n");
        HostFaultLands();
        std::exit(0);
      },
      ::testing::KilledBySignal(SIGSEGV), "landed twice");
}

// The host's handler sits over the module's. For a moment the host sets the
// default action, and the last instance ends inside that moment; then the
// host puts its handler back and closes the module.
TEST(HostHandlerDeathTest, MomentaryDefaultMakesNoCycleAndTheModuleOutlivesItsUnload) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        Install(SIGSEGV, &Land);
        Module module = LoadModuleUnderTest();
        MeterInstance* first = module.dllstartup(0, 0);
        InstallWithInfo(SIGSEGV, &Chain);
        const struct sigaction host = Current(SIGSEGV);
        signal(SIGSEGV, SIG_DFL);
        module.dllshutdown(first);
        sigaction(SIGSEGV, &host, nullptr);
        MeterInstance* second = module.dllstartup(0, 0);
        Require(HostFaultLands(), "the host's fault reaches its last resort");
        Require(gChainEntries == 1, "the host's handler runs once per fault");
        Require(std::strcmp(module.getCPUSpeed(second, kUnreadable, "0", "0"), kFailure) == 0,
                "a fault inside the call gives the failure text");
        module.dllshutdown(second);
        sys::UnloadModule(module.loaded);
        Require(HostFaultLands(), "the host's fault passes through the closed module");
        std::exit(0);
      },
      ::testing::ExitedWithCode(0), "");
}

// The host installs its handler over the module's and closes the module
// without ending its instance: the module never saw the host's handler.
TEST(HostHandlerDeathTest, UnloadWithAnInstanceAliveKeepsTheModulesHandler) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        Install(SIGSEGV, &Land);
        Module module = LoadModuleUnderTest();
        module.dllstartup(0, 0);
        InstallWithInfo(SIGSEGV, &Chain);
        sys::UnloadModule(module.loaded);
        Require(HostFaultLands(), "the host's fault passes through the closed module");
        std::_Exit(0);  // the instance the host leaked is not the module's leak
      },
      ::testing::ExitedWithCode(0), "");
}

// A host with a small alternate stack, for its SIGSEGV handler alone: its
// SIGFPE handler, without SA_ONSTACK, runs on the thread's own stack, as the
// kernel would run it.
TEST(HostHandlerDeathTest, HandlerPassedOnRunsOnTheStackItChose) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        static char alternate[64 * 1024];
        stack_t stack{};
        stack.ss_sp = alternate;
        stack.ss_size = sizeof alternate;
        sigaltstack(&stack, nullptr);
        Install(SIGSEGV, &Land, SA_ONSTACK);
        Install(SIGFPE, &Land);
        Module module = LoadModuleUnderTest();
        MeterInstance* instance = module.dllstartup(0, 0);
        Require(HostFaultLands(ScriptedFault::kDivideByZero) && gLandedOnAltStack == 0,
                "the SIGFPE handler runs on the thread's own stack");
        Require(HostFaultLands() && gLandedOnAltStack == 1,
                "the SIGSEGV handler runs on the alternate stack");
        module.dllshutdown(instance);
        std::exit(0);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST(HostHandlerDeathTest, SignalSentDuringACallIsNotTakenForAFault) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        signal(SIGSEGV, SIG_DFL);
        Module module = LoadModuleUnderTest();
        MeterInstance* instance = module.dllstartup(0, 0);
        std::thread measuring([&] {
          for (int call = 0; call < 100; ++call) {
            module.getCPUSpeed(instance, "0", "15", "2");
          }
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(120));
        pthread_kill(measuring.native_handle(), SIGSEGV);
        measuring.join();
        std::exit(0);
      },
      ::testing::KilledBySignal(SIGSEGV), "");
}

// The host's SIGALRM handler interrupts a measurement and faults (ud2); the
// host's own SIGILL handler steps over the instruction.
volatile sig_atomic_t gAlarms = 0;
volatile sig_atomic_t gHostIllegal = 0;

void StepOverUd2(int /*signal*/, siginfo_t* /*info*/, void* context) {
  ++gHostIllegal;
  static_cast<ucontext_t*>(context)->uc_mcontext.gregs[REG_RIP] += 2;
}

void AlarmAfterMicroseconds(long microseconds) {
  itimerval alarm{};
  alarm.it_value.tv_usec = microseconds;
  setitimer(ITIMER_REAL, &alarm, nullptr);
}

void FaultingAlarm(int /*signal*/) {
  ++gAlarms;
  asm volatile("ud2");
}

TEST(HostHandlerDeathTest, FaultInAHostHandlerThatInterruptedACallGoesToTheHost) {
  if (kUnderThreadSanitizer) {
    GTEST_SKIP() << "ThreadSanitizer runs a deferred handler with every signal blocked";
  }
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        InstallWithInfo(SIGILL, &StepOverUd2);
        Install(SIGALRM, &FaultingAlarm);
        Module module = LoadModuleUnderTest();
        MeterInstance* instance = module.dllstartup(0, 0);
        AlarmAfterMicroseconds(10'000);
        const char* text = module.getCPUSpeed(instance, "0", "15", "2");
        Require(gAlarms == 1 && gHostIllegal == 1, "the host's handlers ran");
        Require(IsReading(text), "the measurement went on");
        Require(!IsBlocked(SIGALRM), "SIGALRM is unblocked again");
        module.dllshutdown(instance);
        std::exit(0);
      },
      ::testing::ExitedWithCode(0), "");
}

// The host's SIGALRM handler interrupts a measurement and reads a clock into
// memory it may not write: the fault is in the kernel's vDSO, as the module's
// own clock reads are, but it is the host's.
sigjmp_buf gAlarmLanding;
volatile sig_atomic_t gHostFaults = 0;

void BackIntoTheAlarm(int /*signal*/) {
  ++gHostFaults;
  siglongjmp(gAlarmLanding, 1);
}

void AlarmWithBadClockRead(int /*signal*/) {
  ++gAlarms;
  if (sigsetjmp(gAlarmLanding, 1) == 0) {
    clock_gettime(CLOCK_MONOTONIC, reinterpret_cast<timespec*>(16));
  }
}

// Whether clock_gettime faults on a bad pointer here (in the vDSO) rather
// than failing with EFAULT (where the clock source has no vDSO read).
bool ClockReadFaultsOnBadPointer() {
  const struct sigaction before = Current(SIGSEGV);
  Install(SIGSEGV, &BackIntoTheAlarm);
  const sig_atomic_t faults = gHostFaults;
  if (sigsetjmp(gAlarmLanding, 1) == 0) {
    clock_gettime(CLOCK_MONOTONIC, reinterpret_cast<timespec*>(16));
  }
  sigaction(SIGSEGV, &before, nullptr);
  return gHostFaults != faults;
}

TEST(HostHandlerDeathTest, ClockReadFaultInAHostHandlerThatInterruptedACallGoesToTheHost) {
  if (kUnderThreadSanitizer) {
    GTEST_SKIP() << "ThreadSanitizer runs a deferred handler with every signal blocked";
  }
  if (!ClockReadFaultsOnBadPointer()) {
    GTEST_SKIP() << "this clock source reads the time through a system call";
  }
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        Install(SIGSEGV, &BackIntoTheAlarm);
        Install(SIGALRM, &AlarmWithBadClockRead);
        Module module = LoadModuleUnderTest();
        MeterInstance* instance = module.dllstartup(0, 0);
        gHostFaults = 0;
        AlarmAfterMicroseconds(10'000);
        const char* text = module.getCPUSpeed(instance, "0", "15", "2");
        Require(gAlarms == 1 && gHostFaults == 1, "the host's handlers ran");
        Require(IsReading(text), "the measurement went on");
        Require(!IsBlocked(SIGALRM), "SIGALRM is unblocked again");
        module.dllshutdown(instance);
        std::exit(0);
      },
      ::testing::ExitedWithCode(0), "");
}

// One thread starts and ends instances while the other forks: every child
// can start an instance of its own.
TEST(HostHandlerDeathTest, ChildForkedDuringStartUpCanStartInstances) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        Module module = LoadModuleUnderTest();
        std::atomic<bool> stop{false};
        std::thread churn([&] {
          while (!stop) {
            module.dllshutdown(module.dllstartup(0, 0));
          }
        });
        for (int child = 0; child < 200; ++child) {
          const pid_t pid = fork();
          if (pid == 0) {
            alarm(5);
            module.dllshutdown(module.dllstartup(0, 0));
            std::_Exit(0);
          }
          int status = 0;
          waitpid(pid, &status, 0);
          Require(WIFEXITED(status) && WEXITSTATUS(status) == 0, "a child hung in dllstartup");
        }
        stop = true;
        churn.join();
        std::exit(0);
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace
