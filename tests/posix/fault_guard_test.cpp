// The Linux fault guard: faults inside it come back as a result, faults
// outside it reach the host's own handling unchanged.
#include <gtest/gtest.h>
#include <setjmp.h>
#include <signal.h>

#include "platform/fault_guard.h"
#include "tests/processor_faults.h"

namespace {

void AccessViolation(void* /*context*/) { RaiseFault(ScriptedFault::kAccessViolation); }
void IllegalInstruction(void* /*context*/) { RaiseFault(ScriptedFault::kIllegalInstruction); }
void DivideByZero(void* /*context*/) { RaiseFault(ScriptedFault::kDivideByZero); }
void PrivilegedInstruction(void* /*context*/) { RaiseFault(ScriptedFault::kPrivilegedInstruction); }
void BusError(void* /*context*/) { raise(SIGBUS); }
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
}

}  // namespace
