// Every exchange of an action is one sigaction call with both a new and an
// old action, so that a handler a host installs at the same moment is never
// lost: what the exchange hands back is checked, and a host's change that
// came between the module's read and its exchange is put right at once.
#include "platform/posix/signal_chain_posix.h"

#include <dlfcn.h>
#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <iterator>

#include "platform/fault_guard.h"

namespace {

using plat::posix::FaultHandler;

constexpr int kFaultSignals[] = {SIGSEGV, SIGILL, SIGBUS, SIGFPE};
constexpr int kSignalCount = static_cast<int>(std::size(kFaultSignals));

// The flags that say how an action handles a signal (the C library adds a
// restorer flag of its own to every action it installs).
constexpr int kHandlingFlags = SA_SIGINFO | SA_ONSTACK | SA_RESTART | SA_NODEFER | SA_RESETHAND;

// Handlers remembered per signal; past that many, every handler counts.
constexpr int kRemembered = 8;

struct Slot {
  // What the module's handler passes on to: the action it went in over.
  struct sigaction previous;
  // Handlers found where the module's had been. Each may hold the module's
  // handler and pass faults on to it, so none is ever taken for the action
  // to pass on to: that would make a cycle. Where the default action or
  // ignore was found instead, a handler the module never saw may have been
  // there in between (a host that sets the default for a moment and puts its
  // handler back), so from then on every handler counts as remembered.
  void* remembered[kRemembered];
  int rememberedCount;
  bool rememberAll;
  // The module's handler may be reached: it went in and has not been given
  // back since.
  bool inChain;
  // A previous action with SA_RESETHAND runs once, then the default applies.
  std::atomic<bool> oneShotUsed;
};
Slot gSlots[kSignalCount];
FaultHandler gHandler = nullptr;
// Pinning is tried once: a child forked while another thread of its parent
// was inside the dynamic loader must not call into it again, since it may
// have inherited the loader's lock held.
std::atomic<bool> gPinTried{false};
std::atomic<bool> gPinned{false};

// The install lock's word: the process id of the holder, or 0. A child
// forked while a thread of its parent held it finds a holder that does not
// exist in the child and takes the lock over; every step below is ordered so
// that such a child finds a state it can go on from.
std::atomic<pid_t> gLockHolder{0};
std::atomic<int> gLockWaiters{0};
static_assert(sizeof(gLockHolder) == sizeof(pid_t) && std::atomic<pid_t>::is_always_lock_free);

long Futex(int operation, pid_t value) {
  // The kernel waits on the word itself.
  // NOLINTNEXTLINE(cppcoreguidelines-pro-type-reinterpret-cast)
  auto* word = reinterpret_cast<pid_t*>(&gLockHolder);
  return syscall(SYS_futex, word, operation, value, nullptr, nullptr, 0);
}

Slot& SlotOf(int signal) {
  int slot = 0;
  while (slot + 1 < kSignalCount && kFaultSignals[slot] != signal) {
    ++slot;
  }
  return gSlots[slot];
}

bool IsHandler(const struct sigaction& action) {
  return action.sa_handler != SIG_DFL && action.sa_handler != SIG_IGN;
}

bool IsOurs(const struct sigaction& action) {
  return (action.sa_flags & SA_SIGINFO) != 0 && action.sa_sigaction == gHandler;
}

bool SameAction(const struct sigaction& a, const struct sigaction& b) {
  return a.sa_handler == b.sa_handler &&
         (a.sa_flags & kHandlingFlags) == (b.sa_flags & kHandlingFlags);
}

struct sigaction Current(int signal) {
  struct sigaction current {};
  sigaction(signal, nullptr, &current);
  return current;
}

// Installs action and hands back the one it replaced, in one call.
struct sigaction Exchange(int signal, const struct sigaction& action) {
  struct sigaction replaced {};
  sigaction(signal, &action, &replaced);
  return replaced;
}

// The module's handler, on the stack that the action it replaces chose, and
// restarting the system calls it interrupts as that action did: what it
// passes on then runs where the kernel would have run it, and a sent signal
// leaves the host's blocked calls as the host's own action would. Over
// ignore, which leaves a blocked call alone, it restarts them.
struct sigaction OurAction(const struct sigaction& replaced) {
  struct sigaction ours {};
  ours.sa_sigaction = gHandler;
  // SA_NODEFER: a handler the fault is passed on to decides its own mask.
  ours.sa_flags = SA_SIGINFO | SA_NODEFER | (replaced.sa_flags & (SA_ONSTACK | SA_RESTART));
  if (replaced.sa_handler == SIG_IGN) {
    ours.sa_flags |= SA_RESTART;
  }
  sigemptyset(&ours.sa_mask);
  return ours;
}

// What goes back in the module's place: the previous action, or the default
// once a one-shot previous handler has run.
struct sigaction GiveBack(const Slot& slot) {
  if ((slot.previous.sa_flags & SA_RESETHAND) != 0 && slot.oneShotUsed.load()) {
    struct sigaction fallback {};
    fallback.sa_handler = SIG_DFL;
    return fallback;
  }
  return slot.previous;
}

void* HandlerOf(const struct sigaction& action) {
  return reinterpret_cast<void*>(action.sa_handler);
}

bool IsRemembered(const Slot& slot, const struct sigaction& action) {
  if (slot.rememberAll) {
    return true;
  }
  for (int index = 0; index < slot.rememberedCount; ++index) {
    if (slot.remembered[index] == HandlerOf(action)) {
      return true;
    }
  }
  return false;
}

// Notes what was found where the module's handler had been.
void NoteReplacement(Slot& slot, const struct sigaction& found) {
  if (!IsHandler(found) || slot.rememberedCount == kRemembered) {
    slot.rememberAll = true;
  } else if (!IsRemembered(slot, found)) {
    slot.remembered[slot.rememberedCount++] = HandlerOf(found);
  }
}

void Join(int signal, Slot& slot) {
  const struct sigaction current = Current(signal);
  if (IsOurs(current)) {
    slot.inChain = true;
    return;
  }
  if (slot.inChain) {
    NoteReplacement(slot, current);
  }
  if (IsHandler(current) && IsRemembered(slot, current)) {
    return;  // reached through that handler, if it passes faults on
  }
  slot.previous = current;
  slot.oneShotUsed = false;
  plat::PublishForGuard();
  const struct sigaction replaced = Exchange(signal, OurAction(current));
  slot.inChain = true;
  if (!SameAction(replaced, current)) {
    // The host installed an action between the read and the exchange.
    if (IsHandler(replaced) && IsRemembered(slot, replaced)) {
      Exchange(signal, replaced);  // it may hold the module's handler: it goes back
      return;
    }
    // Else it went in over an action that was not the module's, and it is
    // the action to pass on to.
    slot.previous = replaced;
    plat::PublishForGuard();
    if (OurAction(replaced).sa_flags != OurAction(current).sa_flags) {
      Exchange(signal, OurAction(replaced));
    }
  }
}

void Leave(int signal, Slot& slot) {
  if (!slot.inChain) {
    return;
  }
  const struct sigaction current = Current(signal);
  if (!IsOurs(current)) {
    NoteReplacement(slot, current);
    return;  // may still be reached through what replaced it
  }
  const struct sigaction replaced = Exchange(signal, GiveBack(slot));
  if (IsOurs(replaced)) {
    slot.inChain = false;
    return;
  }
  // The host installed its handler over the module's between the read and
  // the exchange: it goes back at once, and may pass faults on to the
  // module's.
  Exchange(signal, replaced);
  NoteReplacement(slot, replaced);
}

// A module that could not keep itself loaded gives the signals back when it
// is unloaded, so that no handler is left pointing into unmapped code.
__attribute__((destructor)) void LeaveOnUnload() {
  if (gHandler != nullptr && !gPinned.load()) {
    const plat::posix::InstallLock lock;
    plat::posix::LeaveFaultChains();
  }
}

// The default action, as the kernel takes it: a processor fault strikes again
// on return and ends the process; a sent signal is raised again.
void TakeDefaultAction(int signal, const siginfo_t* info) {
  struct sigaction fallback {};
  fallback.sa_handler = SIG_DFL;
  sigaction(signal, &fallback, nullptr);
  if (!plat::posix::RaisedByKernel(info)) {
    raise(signal);
  }
}

}  // namespace

namespace plat::posix {

InstallLock::InstallLock() {
  const pid_t self = getpid();
  for (;;) {
    pid_t holder = 0;
    if (gLockHolder.compare_exchange_strong(holder, self)) {
      return;
    }
    if (holder != self) {
      // Held by a thread of the parent this process was forked from.
      if (gLockHolder.compare_exchange_strong(holder, self)) {
        return;
      }
      continue;
    }
    ++gLockWaiters;
    Futex(FUTEX_WAIT_PRIVATE, self);
    --gLockWaiters;
  }
}

InstallLock::~InstallLock() {
  gLockHolder.store(0);
  if (gLockWaiters.load() > 0) {
    Futex(FUTEX_WAKE_PRIVATE, 1);
  }
}

void KeepModuleLoaded() {
  if (gPinTried.exchange(true)) {
    return;
  }
  Dl_info self{};
  if (dladdr(reinterpret_cast<void*>(&KeepModuleLoaded), &self) == 0) {
    return;
  }
  void* handle = dlopen(self.dli_fname, RTLD_LAZY | RTLD_NOLOAD | RTLD_NODELETE);
  if (handle != nullptr) {
    dlclose(handle);
    gPinned.store(true);
  }
}

void JoinFaultChains(FaultHandler handler) {
  gHandler = handler;
  for (int slot = 0; slot < kSignalCount; ++slot) {
    Join(kFaultSignals[slot], gSlots[slot]);
  }
}

void LeaveFaultChains() {
  for (int slot = 0; slot < kSignalCount; ++slot) {
    Leave(kFaultSignals[slot], gSlots[slot]);
  }
}

void PassOn(int signal, siginfo_t* info, void* context) {
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
  // Run the previous handler under the mask it asked for. On x86 the kernel
  // passes the signal, its information and the context to every handler,
  // whatever its flags, and a handler without SA_SIGINFO may read them too.
  sigset_t mask = previous.sa_mask;
  if ((previous.sa_flags & SA_NODEFER) == 0) {
    sigaddset(&mask, signal);
  }
  sigset_t saved;
  pthread_sigmask(SIG_BLOCK, &mask, &saved);
  previous.sa_sigaction(signal, info, context);
  pthread_sigmask(SIG_SETMASK, &saved, nullptr);
}

}  // namespace plat::posix
