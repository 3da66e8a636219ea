// Small hosts with fault handlers of their own, each in a process of its own:
// the module's guard takes only the faults of its own code inside a call, and
// leaves the host's handling as the kernel would have left it.
#include <dlfcn.h>
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
#include <string>
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

// Where a host's handler jumps back to. It exists only while the function
// that armed it runs: a fault that reaches the handler at any other moment
// ends the test, rather than jumping into a frame that is gone.
struct Landing {
  sigjmp_buf at;
  volatile sig_atomic_t armed = 0;
};

[[noreturn]] void JumpTo(Landing& landing) {
  Require(landing.armed != 0, "a host's handler was entered with no landing armed");
  landing.armed = 0;
  siglongjmp(landing.at, 1);
}

// Arms landing around body; true when a handler jumped back to it.
template <typename Body>
bool Landed(Landing& landing, Body body) {
  landing.armed = 1;
  if (sigsetjmp(landing.at, 1) == 0) {
    body();
    landing.armed = 0;
    return false;
  }
  return true;
}

Landing gLanding;
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
  JumpTo(gLanding);
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
  return Landed(gLanding, [fault] { RaiseFault(fault); }) && gLandings == before + 1 &&
         gLandedBlocked == 1;
}

bool FailsInsideTheCall(const Module& module, MeterInstance* instance) {
  return std::strcmp(module.getCPUSpeed(instance, kUnreadable, "0", "0"), kFailure) == 0;
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
        // A second meter finds the host's handler over the module's, and a
        // third after both have ended.
        MeterInstance* second = module.dllstartup(0, 0);
        Require(HostFaultLands() && gChainEntries == 1, "the host's handler runs once per fault");
        module.dllshutdown(first);
        module.dllshutdown(second);
        MeterInstance* third = module.dllstartup(0, 0);
        gChainEntries = 0;
        Require(HostFaultLands(), "the host's own fault reaches its last resort");
        Require(gChainEntries == 1, "the host's handler runs once per fault");
        gChainEntries = 0;
        Require(FailsInsideTheCall(module, third),
                "a fault inside the call gives the failure text");
        module.dllshutdown(third);
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
          Require(FailsInsideTheCall(module, instance),
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
        // The host arms its handler again after the module gave the signal
        // back: the module's next handler goes in over it.
        Install(SIGSEGV, &Land, SA_RESETHAND);
        MeterInstance* second = module.dllstartup(0, 0);
        Require(FailsInsideTheCall(module, second),
                "a fault inside the call gives the failure text");
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
        Require(FailsInsideTheCall(module, second),
                "a fault inside the call gives the failure text");
        module.dllshutdown(second);
        sys::UnloadModule(module.loaded);
        Require(HostFaultLands(), "the host's fault passes through the closed module");
        std::exit(0);
      },
      ::testing::ExitedWithCode(0), "");
}

// The same moment, but a meter starts and ends inside it: the module's
// handler goes in over the default action and is given back cleanly. The
// handler the host puts back may still hold the module's, so the module stays
// behind it. Later the host resets the signal for good, and the next meter's
// handler goes in over the default action again.
TEST(HostHandlerDeathTest, AfterAMomentaryDefaultEveryHandlerMayHoldTheModules) {
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
        module.dllshutdown(module.dllstartup(0, 0));
        sigaction(SIGSEGV, &host, nullptr);
        MeterInstance* second = module.dllstartup(0, 0);
        Require(Current(SIGSEGV).sa_sigaction == &Chain, "the host's handler stays in front");
        Require(FailsInsideTheCall(module, second),
                "a fault inside the call gives the failure text");
        module.dllshutdown(second);
        signal(SIGSEGV, SIG_DFL);
        MeterInstance* third = module.dllstartup(0, 0);
        Require(FailsInsideTheCall(module, third), "after a reset, a fault inside a call too");
        module.dllshutdown(third);
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

// SIGSEGV sent to a measuring thread, with tgkill (a negative code) or with
// kill (code 0, as a user asking for a core dump does), is not a fault.
TEST(HostHandlerDeathTest, SignalSentDuringACallIsNotTakenForAFault) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  for (bool toProcess : {false, true}) {
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
          // Sent to the process, the signal goes to the one thread that
          // does not block it.
          sigset_t fault;
          sigemptyset(&fault);
          sigaddset(&fault, SIGSEGV);
          pthread_sigmask(SIG_BLOCK, &fault, nullptr);
          std::this_thread::sleep_for(std::chrono::milliseconds(120));
          if (toProcess) {
            kill(getpid(), SIGSEGV);
          } else {
            pthread_kill(measuring.native_handle(), SIGSEGV);
          }
          measuring.join();
          std::exit(0);
        },
        ::testing::KilledBySignal(SIGSEGV), "")
        << (toProcess ? "kill" : "tgkill");
  }
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

// Handlers the module passes signals on to run as the kernel would have run
// them:
// - on the stack each chose: a small alternate stack for the SIGSEGV handler
//   alone, the thread's own for the SIGFPE handler;
// - with their own signal unblocked where they asked for SA_NODEFER: the
//   SIGFPE handler faults once more inside itself before it lands;
// - with the context, also without SA_SIGINFO: a plain SIGILL handler steps
//   over a ud2 through its third argument;
// - restarting the system calls they interrupt where they asked for
//   SA_RESTART, and where the host ignores the signal, which would have left
//   the call alone.
volatile sig_atomic_t gProbes = 0;
volatile sig_atomic_t gSent = 0;

void ProbeAgainThenLand(int signal) {
  if (++gProbes == 1) {
    RaiseFault(ScriptedFault::kDivideByZero);
  }
  Land(signal);
}

void NoteSent(int /*signal*/) { ++gSent; }

// Whether a thread blocked in read() reads on after signal is sent to it.
bool ReadGoesOnAfter(int signal) {
  int pipeEnds[2];
  Require(pipe(pipeEnds) == 0, "a pipe");
  ssize_t got = -1;
  std::thread reader([&] {
    char byte = 0;
    got = read(pipeEnds[0], &byte, 1);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  pthread_kill(reader.native_handle(), signal);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  Require(write(pipeEnds[1], "x", 1) == 1, "a write");
  reader.join();
  close(pipeEnds[0]);
  close(pipeEnds[1]);
  return got == 1;
}

TEST(HostHandlerDeathTest, HandlersPassedOnRunAsTheKernelWouldRunThem) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        static char alternate[64 * 1024];
        stack_t stack{};
        stack.ss_sp = alternate;
        stack.ss_size = sizeof alternate;
        sigaltstack(&stack, nullptr);
        Install(SIGSEGV, &Land, SA_ONSTACK);
        Install(SIGFPE, &ProbeAgainThenLand, SA_NODEFER);
        // Installed as a plain handler: the kernel passes it all three all the same.
        Install(SIGILL,
                reinterpret_cast<void (*)(int)>(reinterpret_cast<void (*)()>(&StepOverUd2)));
        Install(SIGBUS, &NoteSent, SA_RESTART);
        Module module = LoadModuleUnderTest();
        MeterInstance* instance = module.dllstartup(0, 0);
        // ThreadSanitizer installs its own handler, with its own flags, in
        // place of every handler: the module's SA_NODEFER never reaches the
        // kernel there.
        Require(kUnderThreadSanitizer ||
                    (Landed(gLanding, [] { RaiseFault(ScriptedFault::kDivideByZero); }) &&
                     gProbes == 2 && gLandedOnAltStack == 0),
                "the SIGFPE handler faults again inside itself, on the thread's own stack");
        Require(HostFaultLands() && gLandedOnAltStack == 1,
                "the SIGSEGV handler runs on the alternate stack");
        asm volatile("ud2");
        Require(gHostIllegal == 1, "the plain SIGILL handler stepped over the ud2");
        Require(ReadGoesOnAfter(SIGBUS) && gSent == 1, "a read() goes on after the host's handler");
        module.dllshutdown(instance);
        Install(SIGBUS, SIG_IGN);
        instance = module.dllstartup(0, 0);
        Require(ReadGoesOnAfter(SIGBUS), "a read() goes on after a signal the host ignores");
        module.dllshutdown(instance);
        std::exit(0);
      },
      ::testing::ExitedWithCode(0), "");
}

// The host's SIGALRM handler interrupts a measurement and reads a clock into
// memory it may not write: the fault is in the kernel's vDSO, as the module's
// own clock reads are, but it is the host's.
Landing gAlarmLanding;
volatile sig_atomic_t gHostFaults = 0;

void BackIntoTheAlarm(int /*signal*/) {
  ++gHostFaults;
  JumpTo(gAlarmLanding);
}

void BadClockRead() { clock_gettime(CLOCK_MONOTONIC, reinterpret_cast<timespec*>(16)); }

void AlarmWithBadClockRead(int /*signal*/) {
  ++gAlarms;
  Landed(gAlarmLanding, &BadClockRead);
}

// Whether clock_gettime faults on a bad pointer here (in the vDSO) rather
// than failing with EFAULT (where the clock source has no vDSO read).
bool ClockReadFaultsOnBadPointer() {
  const struct sigaction before = Current(SIGSEGV);
  Install(SIGSEGV, &BackIntoTheAlarm);
  const sig_atomic_t faults = gHostFaults;
  Landed(gAlarmLanding, &BadClockRead);
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

// A host's watchdog cuts a measurement short: its SIGALRM handler jumps out
// of the call. The abandoned call's guard claims no later fault (a bad
// pointer the host passes to getparam outside any call reaches the host's
// own handler), and the instance's text, now the buffer of the update that
// was cut short, is a text.
Landing gWatchdogLanding;

void Watchdog(int /*signal*/) { JumpTo(gWatchdogLanding); }

TEST(HostHandlerDeathTest, CallTheHostAbandonsLeavesATextAndNoGuardBehind) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        Install(SIGSEGV, &Land);
        Install(SIGALRM, &Watchdog);
        Module module = LoadModuleUnderTest();
        MeterInstance* instance = module.dllstartup(0, 0);
        Require(IsReading(module.getCPUSpeed(instance, "0", "15", "2")), "the meter measures");
        AlarmAfterMicroseconds(20'000);
        Require(Landed(gWatchdogLanding, [&] { module.getCPUSpeed(instance, "0", "15", "2"); }),
                "the watchdog cut the call short");
        Require(Landed(gLanding, [&] { module.getparam(kUnreadable); }),
                "the host's handler takes a fault outside any call");
        const char* text = module.getCPUSpeed(instance, "3600", "15", "2");
        Require(strnlen(text, 12) < 12 && IsReading(text), "the cut update left a text");
        Require(IsReading(module.getCPUSpeed(instance, "0", "15", "2")),
                "the meter measures again");
        module.dllshutdown(instance);
        std::exit(0);
      },
      ::testing::ExitedWithCode(0), "");
}

// One thread loads a host's library that starts a meter from its constructor,
// holding the dynamic loader's lock, while another starts the process's first
// meter.
TEST(HostHandlerDeathTest, FirstMeterStartsWhileALibraryThatStartsOneIsLoading) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        alarm(20);  // a hang ends the test
        Module module = LoadModuleUnderTest();
        int loading[2];
        Require(pipe(loading) == 0, "a pipe");
        setenv("METER_TEST_MODULE", METER_MODULE_PATH, 1);
        setenv("METER_TEST_LOADING_FD", std::to_string(loading[1]).c_str(), 1);
        std::thread loader([] {
          Require(dlopen(METER_HOST_LIBRARY_PATH, RTLD_NOW) != nullptr, "the library loads");
        });
        char byte = 0;
        Require(read(loading[0], &byte, 1) == 1, "the library is loading");
        module.dllshutdown(module.dllstartup(0, 0));
        loader.join();
        std::exit(0);
      },
      ::testing::ExitedWithCode(0), "");
}

// In each of many forked children, two threads start and end meters while
// the host installs a handler that passes faults on: the host's next fault
// reaches that handler, once. The install lock keeps the two threads of one
// process apart; a child takes over only a lock held in its parent.
TEST(HostHandlerDeathTest, MetersOnTwoThreadsKeepAHandlerTheHostInstallsMeanwhile) {
  if (kUnderThreadSanitizer) {
    GTEST_SKIP() << "ThreadSanitizer's sigaction reads the old action and writes the new one "
                    "in two steps, so a host's install can be lost between them";
  }
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        Install(SIGSEGV, &Land);
        Module module = LoadModuleUnderTest();
        for (int child = 0; child < 200; ++child) {
          const pid_t pid = fork();
          if (pid == 0) {
            alarm(5);
            std::atomic<int> rounds{0};
            const auto churn = [&] {
              for (int round = 0; round < 100; ++round) {
                module.dllshutdown(module.dllstartup(0, 0));
                ++rounds;
              }
            };
            std::thread first(churn);
            std::thread second(churn);
            while (rounds < 40) {
            }
            InstallWithInfo(SIGSEGV, &Chain);
            first.join();
            second.join();
            std::_Exit(HostFaultLands() && gChainEntries == 1 ? 0 : 1);
          }
          int status = 0;
          waitpid(pid, &status, 0);
          Require(WIFEXITED(status) && WEXITSTATUS(status) == 0, "the host's handler was lost");
        }
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
