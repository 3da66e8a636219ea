// The module's place among the process's handlers for the fault signals
// (SIGSEGV, SIGILL, SIGBUS, SIGFPE): putting its handler in front, giving the
// signal back, remembering where a host's handler sits over it, keeping the
// module loaded while its handler may be reached, and passing on what is not
// the module's to the action its handler was installed over.
#pragma once

#include <signal.h>

namespace plat::posix {

using FaultHandler = void (*)(int signal, siginfo_t* info, void* context);

// Whether the kernel raised the signal for a fault, rather than a process
// sending it with kill, tgkill or sigqueue.
inline bool RaisedByKernel(const siginfo_t* info) { return info != nullptr && info->si_code > 0; }

// Serialises JoinFaultChains and LeaveFaultChains between the process's
// threads. A child forked while a thread of its parent held it takes it over.
// A waiter sleeps until the holder is done, so that a real-time thread never
// spins while the holder cannot run.
class InstallLock {
 public:
  InstallLock();
  ~InstallLock();
  InstallLock(const InstallLock&) = delete;
  InstallLock& operator=(const InstallLock&) = delete;
};

// Keeps the module loaded for the life of the process, before its handler is
// first installed: from then on a host's handler may hold the module's and
// pass faults on to it at any later time, also after the host has closed the
// module. It calls into the dynamic loader, so never with the install lock
// held: a thread that loads a library whose constructor starts a meter holds
// the loader's lock while it waits for the install lock.
void KeepModuleLoaded();

// Puts handler in front of each fault signal's action, except over a host's
// handler that may hold it (one found where it had been): installing over
// that would make a cycle, and it is reached through that handler instead.
// Called with the install lock held, after KeepModuleLoaded.
void JoinFaultChains(FaultHandler handler);

// Gives each fault signal back to the action the handler was installed over,
// where the handler is still the one installed; where a host's handler sits
// over it, the handler stays reachable through it. Called with the install
// lock held.
void LeaveFaultChains();

// Hands a signal that is not the guard's to the action the handler was
// installed over, as the kernel would have applied it.
void PassOn(int signal, siginfo_t* info, void* context);

}  // namespace plat::posix
