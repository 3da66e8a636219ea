// Processor faults on Linux arrive as signals. While an instance is alive the
// module's handler takes SIGSEGV, SIGILL, SIGBUS and SIGFPE. A fault is the
// guard's only when the kernel raised it (not a sent signal) on a thread
// inside RunGuarded, in the module's own code or the clock reads it calls; the
// handler then jumps back to the guard, which puts back the thread state that
// the jump skipped. Every other signal goes on to the action that was there
// before, as the kernel would have applied it.
#include <dlfcn.h>
#include <link.h>
#include <sched.h>
#include <setjmp.h>
#include <signal.h>
#include <sys/auxv.h>
#include <ucontext.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <iterator>

#include "platform/fault_guard.h"

namespace {

constexpr int kFaultSignals[] = {SIGSEGV, SIGILL, SIGBUS, SIGFPE};
constexpr int kSignalCount = static_cast<int>(std::size(kFaultSignals));
// SS_AUTODISARM, which the C library's headers do not name.
constexpr int kAutoDisarm = static_cast<int>(1U << 31);

// One guarded call: where to land, the floating-point controls it began with
// (the kernel resets them for a handler, and a jump out of the handler never
// restores them), and what the handler learnt for putting the rest back.
struct Guard {
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
__attribute__((tls_model("initial-exec"))) thread_local Guard* tGuard = nullptr;

// Per signal: the action found before the module's handler went in, and
// whether that handler may still be reached, by the kernel or through a host
// handler installed over it that passes faults on.
struct Slot {
  struct sigaction previous;
  std::atomic<bool> inChain;
  // A previous action with SA_RESETHAND runs once, then the default applies.
  std::atomic<bool> oneShotUsed;
};
Slot gSlots[kSignalCount];
int gRetainCount = 0;
bool gPinned = false;

// Where the faults the guard owns are raised: the module's own code, and the
// kernel's vDSO, whose clock reads the module calls (they read the time-stamp
// counter where that is the clock source).
struct CodeRange {
  std::uintptr_t start;
  std::uintptr_t end;
  bool Contains(std::uintptr_t address) const { return address >= start && address < end; }
};
CodeRange gOwnCode{0, 0};
CodeRange gVdsoCode{0, 0};

// Serialises installing and removing. The word holds the process id of the
// holder: a child forked while a thread of its parent held it finds a holder
// that does not exist in the child, and takes the lock over. Every step below
// is ordered so that a child that takes over finds a state it can go on from.
std::atomic<pid_t> gInstallLock{0};

class InstallLock {
 public:
  InstallLock() {
    const pid_t self = getpid();
    for (pid_t holder = 0; !gInstallLock.compare_exchange_weak(holder, self); holder = 0) {
      if (holder != self && holder != 0 && gInstallLock.compare_exchange_strong(holder, self)) {
        break;
      }
      sched_yield();
    }
  }
  ~InstallLock() { gInstallLock.store(0); }
  InstallLock(const InstallLock&) = delete;
  InstallLock& operator=(const InstallLock&) = delete;
};

Slot& SlotOf(int signal) {
  int slot = 0;
  while (slot + 1 < kSignalCount && kFaultSignals[slot] != signal) {
    ++slot;
  }
  return gSlots[slot];
}

bool RaisedByKernel(const siginfo_t* info) { return info != nullptr && info->si_code > 0; }

std::uintptr_t FaultAddress(const ucontext_t& context) {
#if defined(__x86_64__)
  return static_cast<std::uintptr_t>(context.uc_mcontext.gregs[REG_RIP]);
#else
  return static_cast<std::uintptr_t>(context.uc_mcontext.gregs[REG_EIP]);
#endif
}

// A handler that chains without SA_SIGINFO can pass neither: the fault on a
// thread inside the guard is then taken for the guard's.
bool BelongsToGuard(const siginfo_t* info, const void* ucontext) {
  if (info == nullptr) {
    return true;
  }
  if (!RaisedByKernel(info)) {
    return false;  // sent with kill, tgkill or sigqueue
  }
  if (ucontext == nullptr) {
    return true;
  }
  // A fault in other code, such as a host's signal handler that interrupted
  // the guarded call, or the C library's allocator, is not the module's.
  const std::uintptr_t address = FaultAddress(*static_cast<const ucontext_t*>(ucontext));
  return gOwnCode.Contains(address) || gVdsoCode.Contains(address);
}

bool IsHandler(const struct sigaction& action) {
  return action.sa_handler != SIG_DFL && action.sa_handler != SIG_IGN;
}

// The default action, as the kernel takes it: a processor fault strikes again
// on return and ends the process; a sent signal is raised again.
void TakeDefaultAction(int signal, const siginfo_t* info) {
  struct sigaction fallback {};
  fallback.sa_handler = SIG_DFL;
  sigaction(signal, &fallback, nullptr);
  if (!RaisedByKernel(info)) {
    raise(signal);
  }
}

// Hands a signal that is not the guard's to the action found before.
void PassOn(int signal, siginfo_t* info, void* ucontext) {
  Slot& slot = SlotOf(signal);
  const struct sigaction& previous = slot.previous;
  const bool used = (previous.sa_flags & SA_RESETHAND) != 0 && IsHandler(previous) &&
                    slot.oneShotUsed.exchange(true);
  if (!IsHandler(previous) || used) {
    // The kernel does not let a processor fault be ignored.
    if (previous.sa_handler != SIG_IGN || used || RaisedByKernel(info)) {
      TakeDefaultAction(signal, info);
    }
    return;
  }
  // Run the previous handler under the mask it asked for.
  sigset_t mask = previous.sa_mask;
  if ((previous.sa_flags & SA_NODEFER) == 0) {
    sigaddset(&mask, signal);
  }
  sigset_t saved;
  pthread_sigmask(SIG_BLOCK, &mask, &saved);
  if ((previous.sa_flags & SA_SIGINFO) != 0) {
    previous.sa_sigaction(signal, info, ucontext);
  } else {
    previous.sa_handler(signal);
  }
  pthread_sigmask(SIG_SETMASK, &saved, nullptr);
}

void OnFault(int signal, siginfo_t* info, void* ucontext) {
  Guard* guard = tGuard;
  if (guard == nullptr || !BelongsToGuard(info, ucontext)) {
    PassOn(signal, info, ucontext);
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

bool IsOurs(const struct sigaction& action) {
  return (action.sa_flags & SA_SIGINFO) != 0 && action.sa_sigaction == &OnFault;
}

struct sigaction CurrentAction(int signal) {
  struct sigaction current {};
  sigaction(signal, nullptr, &current);
  return current;
}

// Where the linker put the module's ELF header and where its code ends.
extern "C" const char __ehdr_start[] __attribute__((visibility("hidden")));  // NOLINT
extern "C" const char __etext[] __attribute__((visibility("hidden")));       // NOLINT

// The vDSO's executable segments, read from its ELF header, which the kernel
// names in the auxiliary vector. (The loader's own list of objects is not
// used: its lock may be held for good in a forked child.)
CodeRange VdsoCode() {
  const std::uintptr_t base = getauxval(AT_SYSINFO_EHDR);
  if (base == 0) {
    return {0, 0};
  }
  // The kernel gives the address as a number.
  const auto* image = reinterpret_cast<const char*>(base);  // NOLINT(performance-no-int-to-ptr)
  const auto& header = *reinterpret_cast<const ElfW(Ehdr)*>(image);
  const auto* segments = reinterpret_cast<const ElfW(Phdr)*>(image + header.e_phoff);
  std::uintptr_t bias = base;
  for (int index = 0; index < header.e_phnum; ++index) {
    if (segments[index].p_type == PT_LOAD && segments[index].p_offset == 0) {
      bias = base - segments[index].p_vaddr;
    }
  }
  CodeRange code{UINTPTR_MAX, 0};
  for (int index = 0; index < header.e_phnum; ++index) {
    const ElfW(Phdr)& segment = segments[index];
    if (segment.p_type == PT_LOAD && (segment.p_flags & PF_X) != 0) {
      code.start = std::min<std::uintptr_t>(code.start, bias + segment.p_vaddr);
      code.end = std::max<std::uintptr_t>(code.end, bias + segment.p_vaddr + segment.p_memsz);
    }
  }
  return code;
}

// Keeps the module mapped for the life of the process: a host handler sits
// over the module's and may pass faults on to it after the module is closed.
void PinModule() {
  Dl_info self{};
  if (gPinned || dladdr(reinterpret_cast<void*>(&OnFault), &self) == 0) {
    return;
  }
  void* handle = dlopen(self.dli_fname, RTLD_LAZY | RTLD_NOLOAD | RTLD_NODELETE);
  if (handle != nullptr) {
    dlclose(handle);
    gPinned = true;
  }
}

// Whether a handler that was installed over the module's may still pass
// faults on to it. Only a handler can; the default action or ignoring cannot.
bool StillReachable(Slot& slot, const struct sigaction& current) {
  if (slot.inChain.load() && !IsOurs(current) && !IsHandler(current)) {
    slot.inChain = false;
  }
  return slot.inChain.load();
}

// Puts the module's handler in front, unless it is still reachable from an
// earlier install: installing over a host handler that passes faults on to
// it would make a cycle. Installed first, marked after, so that a forked child
// that finds the mark missing sees the handler in place and takes it back up.
void Install(int signal, Slot& slot) {
  const struct sigaction current = CurrentAction(signal);
  if (StillReachable(slot, current)) {
    if (!IsOurs(current)) {
      PinModule();
    }
    return;
  }
  if (!IsOurs(current)) {
    struct sigaction ours {};
    ours.sa_sigaction = &OnFault;
    // SA_NODEFER: a handler the fault is passed on to decides its own mask.
    ours.sa_flags = SA_SIGINFO | SA_NODEFER | SA_ONSTACK;
    sigemptyset(&ours.sa_mask);
    slot.previous = current;
    slot.oneShotUsed = false;
    plat::PublishForGuard();
    sigaction(signal, &ours, nullptr);
  }
  slot.inChain = true;
}

// Gives the signal back to the action found before, where the module's
// handler is still the one installed. Where a host has installed over it, the
// module's handler stays reachable through the host's, so it stays, and so
// does the module. Unmarked first, removed after (see Install).
void Uninstall(int signal, Slot& slot) {
  const struct sigaction current = CurrentAction(signal);
  if (!StillReachable(slot, current)) {
    return;
  }
  if (!IsOurs(current)) {
    PinModule();
    return;
  }
  slot.inChain = false;
  struct sigaction previous = slot.previous;
  if ((previous.sa_flags & SA_RESETHAND) != 0 && slot.oneShotUsed.load()) {
    previous = {};
    previous.sa_handler = SIG_DFL;
  }
  sigaction(signal, &previous, nullptr);
}

// Unloading the module with instances still alive must not leave a handler
// pointing into unmapped code.
__attribute__((destructor)) void UninstallOnUnload() {
  const InstallLock lock;
  for (int slot = 0; slot < kSignalCount; ++slot) {
    Uninstall(kFaultSignals[slot], gSlots[slot]);
  }
}

}  // namespace

namespace plat {

bool RunGuarded(GuardedWork work, void* context) noexcept {
  Guard guard;
  asm volatile("stmxcsr %0" : "=m"(guard.mxcsr));
  asm volatile("fnstcw %0" : "=m"(guard.x87Control));
  Guard* const outer = tGuard;
  if (sigsetjmp(guard.landing, 0) != 0) {
    tGuard = outer;
    PublishForGuard();
    RestoreAfterFault(guard);
    return false;
  }
  tGuard = &guard;
  PublishForGuard();
  work(context);
  tGuard = outer;
  return true;
}

void RetainFaultInterception() {
  const InstallLock lock;
  ++gRetainCount;
  if (gOwnCode.end == 0) {
    gOwnCode = {reinterpret_cast<std::uintptr_t>(__ehdr_start),
                reinterpret_cast<std::uintptr_t>(__etext)};
    gVdsoCode = VdsoCode();
  }
  for (int slot = 0; slot < kSignalCount; ++slot) {
    Install(kFaultSignals[slot], gSlots[slot]);
  }
}

void ReleaseFaultInterception() {
  const InstallLock lock;
  if (gRetainCount == 0 || --gRetainCount > 0) {
    return;
  }
  for (int slot = 0; slot < kSignalCount; ++slot) {
    Uninstall(kFaultSignals[slot], gSlots[slot]);
  }
}

}  // namespace plat
