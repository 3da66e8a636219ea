// Processor faults on Linux arrive as signals. While an instance is alive the
// module's handler sits in front of the host's: a fault on a thread inside
// RunGuarded jumps back to the guard; every other fault goes on to the handler
// the host had installed before, or to the default action.
#include <pthread.h>
#include <sched.h>
#include <setjmp.h>
#include <signal.h>
#include <ucontext.h>
#include <unistd.h>

#include <atomic>
#include <iterator>

#include "platform/fault_guard.h"

namespace {

constexpr int kFaultSignals[] = {SIGSEGV, SIGILL, SIGBUS, SIGFPE};
constexpr int kSignalCount = static_cast<int>(std::size(kFaultSignals));

// The guard the calling thread is inside, if any. Initial-exec TLS is a plain
// load, safe to read from a signal handler.
__attribute__((tls_model("initial-exec"))) thread_local sigjmp_buf* tGuard = nullptr;

// What each signal was handled by before the module took it.
struct sigaction gPrevious[kSignalCount];
bool gInstalled = false;
int gRetainCount = 0;

// Serialises installing and removing. The word holds the process id of the
// holder: a child forked while a thread of its parent held it finds a holder
// that does not exist in the child, and takes the lock over.
std::atomic<pid_t> gInstallLock{0};

class InstallLock {
 public:
  InstallLock() {
    const pid_t self = getpid();
    for (pid_t holder = 0; !gInstallLock.compare_exchange_weak(holder, self);) {
      if (holder != self && holder != 0 && gInstallLock.compare_exchange_weak(holder, self)) {
        break;
      }
      holder = 0;
      sched_yield();
    }
  }
  ~InstallLock() { gInstallLock.store(0); }
  InstallLock(const InstallLock&) = delete;
  InstallLock& operator=(const InstallLock&) = delete;
};

int SlotOf(int signal) {
  for (int slot = 0; slot < kSignalCount; ++slot) {
    if (kFaultSignals[slot] == signal) {
      return slot;
    }
  }
  return -1;
}

bool IsHardwareFault(const siginfo_t* info) { return info != nullptr && info->si_code > 0; }

// Hands a fault that is not the module's to whoever handled it before.
void PassOn(int signal, siginfo_t* info, void* ucontext) {
  const struct sigaction& previous = gPrevious[SlotOf(signal)];
  if (previous.sa_handler == SIG_IGN && !IsHardwareFault(info)) {
    return;
  }
  if (previous.sa_handler == SIG_DFL || previous.sa_handler == SIG_IGN) {
    // The kernel's own choice for an unhandled fault: the default action. A
    // hardware fault strikes again on return; a sent signal is raised again.
    struct sigaction fallback {};
    fallback.sa_handler = SIG_DFL;
    sigaction(signal, &fallback, nullptr);
    if (!IsHardwareFault(info)) {
      raise(signal);
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
  sigjmp_buf* guard = tGuard;
  if (guard != nullptr) {
    tGuard = nullptr;
    // The guard saved no mask on entry, to stay free of system calls; the mask
    // the faulting code ran under is the one to go back to, whatever else a
    // handler in front of this one blocked.
    pthread_sigmask(SIG_SETMASK, &static_cast<ucontext_t*>(ucontext)->uc_sigmask, nullptr);
    siglongjmp(*guard, 1);
  }
  PassOn(signal, info, ucontext);
}

bool IsOurs(const struct sigaction& action) {
  return (action.sa_flags & SA_SIGINFO) != 0 && action.sa_sigaction == &OnFault;
}

// SA_NODEFER: a host handler that the fault is passed on to decides its own
// mask, as it would if it had been called by the kernel.
void InstallOver(int slot) {
  struct sigaction current {};
  sigaction(kFaultSignals[slot], nullptr, &current);
  if (IsOurs(current)) {
    return;
  }
  struct sigaction ours {};
  ours.sa_sigaction = &OnFault;
  ours.sa_flags = SA_SIGINFO | SA_NODEFER | SA_ONSTACK;
  sigemptyset(&ours.sa_mask);
  gPrevious[slot] = current;
  std::atomic_signal_fence(std::memory_order_seq_cst);
  sigaction(kFaultSignals[slot], &ours, nullptr);
}

// Gives each signal back to its previous handler where the module's handler
// is still the one installed; a host that installed over it keeps its own.
void Uninstall() {
  for (int slot = 0; slot < kSignalCount; ++slot) {
    struct sigaction current {};
    sigaction(kFaultSignals[slot], nullptr, &current);
    if (IsOurs(current)) {
      sigaction(kFaultSignals[slot], &gPrevious[slot], nullptr);
    }
  }
  gInstalled = false;
}

void InstallAll() {
  for (int slot = 0; slot < kSignalCount; ++slot) {
    InstallOver(slot);
  }
  gInstalled = true;
}

// Unloading the module with instances still alive must not leave a handler
// pointing into unmapped code.
__attribute__((destructor)) void UninstallOnUnload() {
  const InstallLock lock;
  if (gInstalled) {
    Uninstall();
  }
}

}  // namespace

namespace plat {

bool RunGuarded(GuardedWork work, void* context) noexcept {
  sigjmp_buf guard;
  sigjmp_buf* const outer = tGuard;
  if (sigsetjmp(guard, 0) != 0) {
    tGuard = outer;
    return false;
  }
  tGuard = &guard;
  std::atomic_signal_fence(std::memory_order_seq_cst);
  work(context);
  tGuard = outer;
  return true;
}

void RetainFaultInterception() {
  const InstallLock lock;
  if (gRetainCount++ == 0) {
    InstallAll();
  }
}

void ReleaseFaultInterception() {
  const InstallLock lock;
  if (gRetainCount > 0 && --gRetainCount == 0) {
    Uninstall();
  }
}

}  // namespace plat
