// Processor faults on Linux arrive as signals. While an instance is alive the
// module's handler takes SIGSEGV, SIGILL, SIGBUS and SIGFPE (its place among
// the host's handlers is kept in signal_chain_posix.cpp). A fault is the
// guard's only when the kernel raised it (not a sent signal) on a thread
// inside RunGuarded, in the module's own code or in a clock read the module
// itself is making; the handler then jumps back to the guard, which puts back
// the thread state that the jump skipped. Every other signal goes on to the
// action that was there before, as the kernel would have applied it.
#include <setjmp.h>
#include <signal.h>
#include <ucontext.h>

#include <cstdint>

#include "platform/fault_guard.h"
#include "platform/posix/clock_read_posix.h"
#include "platform/posix/signal_chain_posix.h"
#include "platform/posix/vdso_posix.h"

namespace plat::posix {

__attribute__((tls_model("initial-exec"))) __thread const void* tClockReadFrame = nullptr;

}  // namespace plat::posix

namespace {

// SS_AUTODISARM, which the C library's headers do not name.
constexpr int kAutoDisarm = static_cast<int>(1U << 31);

// One guarded call: where to land, the floating-point controls it began with
// (the kernel resets them for a handler, and a jump out of the handler never
// restores them), and what the handler learnt for putting the rest back.
struct Guard {
  // The guard itself while its call runs, null once the call has ended. A
  // host may jump out of a call (from a signal handler of its own) and leave
  // the thread's guard pointing at the abandoned frame; once that frame's
  // memory is used again, this word no longer points at itself.
  Guard* volatile self;
  // What the call found and puts back however it ends: the guard of a call
  // it runs inside, and the clock-read mark.
  Guard* outer;
  const void* outerClockRead;
  sigjmp_buf landing;
  std::uint32_t mxcsr;
  std::uint16_t x87Control;
  int signal;
  bool maskKnown;
  sigset_t mask;
  bool rearmAltStack;
  stack_t altStack;
};

// The guard the calling thread is inside, if any. Initial-exec TLS is a plain
// load, safe to read from a signal handler.
__attribute__((tls_model("initial-exec"))) __thread Guard* tGuard = nullptr;

// Instances alive: the module's handler is wanted from the first Retain to
// the last Release.
int gRetainCount = 0;

// Where the faults the guard owns are raised: the module's own code, and the
// kernel's vDSO, whose clock reads the module calls (they read the time-stamp
// counter where that is the clock source).
using plat::posix::CodeRange;
CodeRange gOwnCode{0, 0};
CodeRange gVdsoCode{0, 0};

// How far below the frame of the module's own clock read a fault in the vDSO
// may lie and still be that read's: the module calls the vDSO directly, which
// needs a few words of stack. A host's handler that interrupted the read runs
// below a signal frame of more than a kilobyte, or on a stack of its own, and
// its own read further below.
constexpr std::uintptr_t kClockReadDepth = 1024;

// The interrupted context's instruction and stack pointers.
#if defined(__x86_64__)
constexpr int kInstructionPointer = REG_RIP;
constexpr int kStackPointer = REG_RSP;
#else
constexpr int kInstructionPointer = REG_EIP;
constexpr int kStackPointer = REG_ESP;
#endif

std::uintptr_t Register(const ucontext_t& context, int which) {
  return static_cast<std::uintptr_t>(context.uc_mcontext.gregs[which]);
}

// Whether a fault in the vDSO is in the clock read the module is making.
bool InOwnClockRead(const ucontext_t& context) {
  const auto frame = reinterpret_cast<std::uintptr_t>(plat::posix::tClockReadFrame);
  const std::uintptr_t stack = Register(context, kStackPointer);
  return frame != 0 && stack < frame && frame - stack < kClockReadDepth;
}

// Whether guard is one of a call that is running: its frame has not been
// used for anything else since it was set up.
bool IsLive(const Guard* guard) { return guard != nullptr && guard->self == guard; }

// A handler that chains without SA_SIGINFO can pass neither: the fault on a
// thread inside the guard is then taken for the guard's.
bool BelongsToGuard(const siginfo_t* info, const void* ucontext) {
  if (info == nullptr) {
    return true;
  }
  if (!plat::posix::RaisedByKernel(info)) {
    return false;  // sent with kill, tgkill or sigqueue
  }
  if (ucontext == nullptr) {
    return true;
  }
  // A fault in other code, such as a host's signal handler that interrupted
  // the guarded call, or the C library's allocator, is not the module's.
  const auto& context = *static_cast<const ucontext_t*>(ucontext);
  const std::uintptr_t address = Register(context, kInstructionPointer);
  return gOwnCode.Contains(address) || (gVdsoCode.Contains(address) && InOwnClockRead(context));
}

// Whether the faulting code runs below the guard's frame, as the guarded work
// does. Code above it is not inside the call: the host jumped out of that
// call and has gone on.
bool InsideGuardedFrame(const Guard& guard, const void* ucontext) {
  return ucontext == nullptr || Register(*static_cast<const ucontext_t*>(ucontext), kStackPointer) <
                                    reinterpret_cast<std::uintptr_t>(&guard);
}

void OnFault(int signal, siginfo_t* info, void* ucontext) {
  Guard* guard = tGuard;
  if (guard == nullptr || !BelongsToGuard(info, ucontext)) {
    plat::posix::PassOn(signal, info, ucontext);
    return;
  }
  if (!IsLive(guard) || !InsideGuardedFrame(*guard, ucontext)) {
    // The module's code faulted outside the call that set the guard: the
    // host jumped out of that call and has gone on. The guard is stale.
    tGuard = nullptr;
    plat::posix::PassOn(signal, info, ucontext);
    return;
  }
  tGuard = nullptr;
  guard->signal = signal;
  guard->maskKnown = ucontext != nullptr;
  guard->rearmAltStack = false;
  if (ucontext != nullptr) {
    const auto& context = *static_cast<const ucontext_t*>(ucontext);
    guard->mask = context.uc_sigmask;
    // With SS_AUTODISARM the kernel turned the alternate stack off for the
    // handler and turns it on again only at the handler's return.
    guard->rearmAltStack = (context.uc_stack.ss_flags & kAutoDisarm) != 0;
    guard->altStack = context.uc_stack;
  }
  siglongjmp(guard->landing, 1);
}

// Puts back, after a fault, what a return from the handler would have.
void RestoreAfterFault(const Guard& guard) {
  asm volatile("ldmxcsr %0" : : "m"(guard.mxcsr));
  asm volatile("fldcw %0" : : "m"(guard.x87Control));
  if (guard.rearmAltStack) {
    sigaltstack(&guard.altStack, nullptr);
  }
  if (guard.maskKnown) {
    pthread_sigmask(SIG_SETMASK, &guard.mask, nullptr);
    return;
  }
  // Without the interrupted context, unblock what the delivery blocked: the
  // fault signal and the mask of the handler that the kernel ran for it.
  struct sigaction delivered {};
  sigaction(guard.signal, nullptr, &delivered);
  sigset_t unblock = delivered.sa_mask;
  sigaddset(&unblock, guard.signal);
  pthread_sigmask(SIG_UNBLOCK, &unblock, nullptr);
}

// The guard of the call that a new call runs inside, if any. A call made
// inside another (from a host's signal handler that interrupted it) runs
// below the other's frame; a guard found anywhere else was left by a call
// the host abandoned.
Guard* EnclosingGuard(Guard* found, const Guard& inner) {
  return IsLive(found) &&
                 reinterpret_cast<std::uintptr_t>(found) > reinterpret_cast<std::uintptr_t>(&inner)
             ? found
             : nullptr;
}

// Puts back what the call found.
void LeaveGuard(Guard& guard) {
  tGuard = guard.outer;
  plat::posix::tClockReadFrame = guard.outerClockRead;
  guard.self = nullptr;
}

// Where the linker put the module's ELF header and where its code ends.
extern "C" const char __ehdr_start[] __attribute__((visibility("hidden")));  // NOLINT
extern "C" const char __etext[] __attribute__((visibility("hidden")));       // NOLINT

}  // namespace

namespace plat {

bool RunGuarded(GuardedWork work, void* context) noexcept {
  Guard guard;
  guard.self = &guard;
  asm volatile("stmxcsr %0" : "=m"(guard.mxcsr));
  asm volatile("fnstcw %0" : "=m"(guard.x87Control));
  guard.outer = EnclosingGuard(tGuard, guard);
  // The clock-read mark is the module's own inside the call.
  guard.outerClockRead = posix::tClockReadFrame;
  posix::tClockReadFrame = nullptr;
  if (sigsetjmp(guard.landing, 0) != 0) {
    LeaveGuard(guard);
    PublishForGuard();
    RestoreAfterFault(guard);
    return false;
  }
  tGuard = &guard;
  PublishForGuard();
  work(context);
  LeaveGuard(guard);
  return true;
}

void RetainFaultInterception() {
  posix::KeepModuleLoaded();
  const posix::InstallLock lock;
  ++gRetainCount;
  if (gOwnCode.end == 0) {
    gOwnCode = {reinterpret_cast<std::uintptr_t>(__ehdr_start),
                reinterpret_cast<std::uintptr_t>(__etext)};
    gVdsoCode = posix::VdsoCode();
  }
  posix::JoinFaultChains(&OnFault);
}

void ReleaseFaultInterception() {
  const posix::InstallLock lock;
  if (gRetainCount == 0 || --gRetainCount > 0) {
    return;
  }
  posix::LeaveFaultChains();
}

}  // namespace plat
