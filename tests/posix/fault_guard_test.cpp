// The Linux fault guard: faults inside it come back as a result, faults
// outside it reach the host's own handling unchanged.
#include <gtest/gtest.h>
#include <setjmp.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <vector>

#include "platform/fault_guard.h"
#include "platform/posix/clock_read_posix.h"
#include "tests/processor_faults.h"

namespace {

void AccessViolation(void* /*context*/) { RaiseFault(ScriptedFault::kAccessViolation); }
void IllegalInstruction(void* /*context*/) { RaiseFault(ScriptedFault::kIllegalInstruction); }
void DivideByZero(void* /*context*/) { RaiseFault(ScriptedFault::kDivideByZero); }
void PrivilegedInstruction(void* /*context*/) { RaiseFault(ScriptedFault::kPrivilegedInstruction); }
// A read past the end of a mapped file.
void BusError(void* /*context*/) {
  const int file = memfd_create("empty", 0);
  auto* page = static_cast<volatile char*>(mmap(nullptr, 4096, PROT_READ, MAP_SHARED, file, 0));
  close(file);
  static_cast<void>(*page);
}
void Finishes(void* context) { *static_cast<int*>(context) = 42; }

// A host's own handler: notes the signal and jumps back to the test.
sigjmp_buf gHostLanding;
volatile sig_atomic_t gHostSignal = 0;
struct sigaction gHostFoundBefore[NSIG];

void HostHandler(int signal) {
  gHostSignal = signal;
  siglongjmp(gHostLanding, 1);
}

// A host handler installed after the module's that passes on what it found.
void ChainingHostHandler(int signal, siginfo_t* info, void* context) {
  gHostSignal = signal;
  const struct sigaction& found = gHostFoundBefore[signal];
  if ((found.sa_flags & SA_SIGINFO) != 0) {
    found.sa_sigaction(signal, info, context);
  }
}

struct sigaction Current(int signal) {
  struct sigaction action {};
  sigaction(signal, nullptr, &action);
  return action;
}

// Same handler and flags; the C library adds a restorer flag of its own to
// every action it installs, which says nothing about the handling.
bool SameHandler(const struct sigaction& a, const struct sigaction& b) {
  constexpr int kHandlingFlags = SA_SIGINFO | SA_NODEFER | SA_RESETHAND | SA_ONSTACK | SA_RESTART;
  return a.sa_handler == b.sa_handler &&
         (a.sa_flags & kHandlingFlags) == (b.sa_flags & kHandlingFlags);
}

// Installs handler for signal, remembering what was there.
void InstallHost(int signal, void (*handler)(int)) {
  struct sigaction action {};
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  sigaction(signal, &action, &gHostFoundBefore[signal]);
}

class FaultGuardTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (int signal : {SIGSEGV, SIGILL, SIGFPE, SIGBUS}) {
      saved_[signal] = Current(signal);
    }
    gHostSignal = 0;
  }
  void TearDown() override {
    for (int signal : {SIGSEGV, SIGILL, SIGFPE, SIGBUS}) {
      sigaction(signal, &saved_[signal], nullptr);
    }
  }
  struct sigaction saved_[NSIG] {};
};

TEST_F(FaultGuardTest, EveryKindOfFailureInsideComesBackAsFalse) {
  plat::RetainFaultInterception();
  for (plat::GuardedWork work :
       {&AccessViolation, &IllegalInstruction, &PrivilegedInstruction, &DivideByZero, &BusError}) {
    EXPECT_FALSE(plat::RunGuarded(work, nullptr));
  }
  int result = 0;
  EXPECT_TRUE(plat::RunGuarded(&Finishes, &result));
  EXPECT_EQ(result, 42);
  plat::ReleaseFaultInterception();
}

TEST_F(FaultGuardTest, HostHandlerInstalledBeforeGetsFaultsOutsideTheGuard) {
  for (int signal : {SIGSEGV, SIGILL}) {
    InstallHost(signal, &HostHandler);
  }
  const struct sigaction host = Current(SIGSEGV);
  plat::RetainFaultInterception();
  plat::RetainFaultInterception();
  EXPECT_FALSE(SameHandler(Current(SIGSEGV), host)) << "the module is in front while in use";

  if (sigsetjmp(gHostLanding, 1) == 0) {
    AccessViolation(nullptr);
  }
  EXPECT_EQ(gHostSignal, SIGSEGV);
  if (sigsetjmp(gHostLanding, 1) == 0) {
    IllegalInstruction(nullptr);
  }
  EXPECT_EQ(gHostSignal, SIGILL);
  // Inside the guard the fault is the module's, not the host's.
  gHostSignal = 0;
  EXPECT_FALSE(plat::RunGuarded(&AccessViolation, nullptr));
  EXPECT_EQ(gHostSignal, 0);

  plat::ReleaseFaultInterception();
  EXPECT_FALSE(SameHandler(Current(SIGSEGV), host)) << "still one user left";
  plat::ReleaseFaultInterception();
  EXPECT_TRUE(SameHandler(Current(SIGSEGV), host)) << "the host's handler is back";
  EXPECT_EQ(Current(SIGILL).sa_handler, &HostHandler);
}

TEST_F(FaultGuardTest, HostHandlerInstalledAfterKeepsItsFaultsAndChainingKeepsTheGuard) {
  plat::RetainFaultInterception();
  struct sigaction chaining {};
  chaining.sa_sigaction = &ChainingHostHandler;
  chaining.sa_flags = SA_SIGINFO | SA_NODEFER;
  sigemptyset(&chaining.sa_mask);
  sigaction(SIGSEGV, &chaining, &gHostFoundBefore[SIGSEGV]);

  gHostSignal = 0;
  EXPECT_FALSE(plat::RunGuarded(&AccessViolation, nullptr));
  EXPECT_EQ(gHostSignal, SIGSEGV) << "the host saw it first";

  plat::ReleaseFaultInterception();
  EXPECT_EQ(Current(SIGSEGV).sa_sigaction, &ChainingHostHandler) << "the host's stays in place";
}

TEST_F(FaultGuardTest, NothingIsLeftInstalledAfterTheLastRelease) {
  const struct sigaction before = Current(SIGFPE);
  plat::RetainFaultInterception();
  plat::ReleaseFaultInterception();
  plat::ReleaseFaultInterception();  // one too many changes nothing
  EXPECT_TRUE(SameHandler(Current(SIGFPE), before));
}

// The kernel starts a handler with the floating-point controls reset; a host
// that runs with others finds its own again after a caught fault.
TEST_F(FaultGuardTest, FloatingPointControlsAreThoseTheCallBeganWith) {
  std::uint32_t mxcsr = 0xFF80;  // flush to zero, round toward zero, all masked
  std::uint16_t x87 = 0x007F;    // 24-bit precision
  asm volatile("ldmxcsr %0\n\tfldcw %1" : : "m"(mxcsr), "m"(x87));
  plat::RetainFaultInterception();
  EXPECT_FALSE(plat::RunGuarded(&AccessViolation, nullptr));
  plat::ReleaseFaultInterception();
  std::uint32_t mxcsrAfter = 0;
  std::uint16_t x87After = 0;
  asm volatile("stmxcsr %0\n\tfnstcw %1" : "=m"(mxcsrAfter), "=m"(x87After));
  mxcsr = 0x1F80;
  x87 = 0x037F;
  asm volatile("ldmxcsr %0\n\tfldcw %1" : : "m"(mxcsr), "m"(x87));
  EXPECT_EQ(mxcsrAfter, 0xFF80U);
  EXPECT_EQ(x87After, 0x007FU);
}

// A fault inside one of the module's clock reads (a time-stamp read refused
// in the vDSO) lands with the read's mark set: the mark goes back to what the
// call found, or a host's own clock read that faults later, a little below
// where the mark was, would be taken for the module's.
TEST_F(FaultGuardTest, ALandingPutsTheClockReadMarkBack) {
  plat::RetainFaultInterception();
  EXPECT_FALSE(plat::RunGuarded(
      [](void* /*context*/) {
        plat::posix::tClockReadFrame = __builtin_frame_address(0);
        RaiseFault(ScriptedFault::kAccessViolation);
      },
      nullptr));
  plat::ReleaseFaultInterception();
  EXPECT_EQ(plat::posix::tClockReadFrame, nullptr);
}

// A stack with SS_AUTODISARM is off while a handler runs on it; the kernel
// turns it back on only when the handler returns, which a caught fault skips.
TEST_F(FaultGuardTest, AlternateSignalStackIsArmedAgainAfterACaughtFault) {
  constexpr int kAutoDisarm = static_cast<int>(1U << 31);
  std::vector<char> memory(256 * 1024);
  stack_t host{};
  host.ss_sp = memory.data();
  host.ss_size = memory.size();
  host.ss_flags = kAutoDisarm;
  stack_t found{};
  ASSERT_EQ(sigaltstack(&host, &found), 0);
  plat::RetainFaultInterception();
  EXPECT_FALSE(plat::RunGuarded(&AccessViolation, nullptr));
  plat::ReleaseFaultInterception();
  stack_t after{};
  sigaltstack(&found, &after);
  EXPECT_EQ(after.ss_sp, host.ss_sp);
  EXPECT_EQ(after.ss_flags & SS_DISABLE, 0);
}

using FaultGuardDeathTest = FaultGuardTest;

TEST_F(FaultGuardDeathTest, UnhandledFaultOutsideTheGuardStillEndsTheProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        signal(SIGSEGV, SIG_DFL);
        plat::RetainFaultInterception();
        AccessViolation(nullptr);
      },
      ::testing::KilledBySignal(SIGSEGV), "");
  EXPECT_EXIT(
      {
        signal(SIGFPE, SIG_DFL);
        plat::RetainFaultInterception();
        raise(SIGFPE);
      },
      ::testing::KilledBySignal(SIGFPE), "");
  // The kernel does not let a processor fault be ignored: returning would
  // only fault again.
  EXPECT_EXIT(
      {
        signal(SIGSEGV, SIG_IGN);
        alarm(10);
        plat::RetainFaultInterception();
        AccessViolation(nullptr);
      },
      ::testing::KilledBySignal(SIGSEGV), "");
}

}  // namespace
