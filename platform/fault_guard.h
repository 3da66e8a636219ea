// Runs a piece of work so that a processor fault in the module's own code
// comes back as a result instead of ending the host process. On Windows the
// guard is a structured-exception frame of the call's own; on Linux the
// module's work does not fault (it checks before it acts), and the guard only
// calls the work. The module throws no C++ exceptions, so there are none to
// catch.
#pragma once

#include <atomic>

namespace plat {

using GuardedWork = void (*)(void* context);

// Runs work(context) on the calling thread. True when it returned normally;
// false when it faulted (Windows only). After a fault the work's own frames are
// abandoned, so the work must keep whatever it needs to clean up in memory
// reachable through context, and must own no destructors on its frames.
// After a fault on memory, *faultAddress, where given, is the address the
// faulting access touched; after any other fault, null. Entering and leaving
// the guard makes no system call.
bool RunGuarded(GuardedWork work, void* context, const void** faultAddress = nullptr) noexcept;

// Keeps what the work has written so far in memory, in program order, before
// the next step that may fault: after a fault the caller reads it from there.
inline void PublishForGuard() { std::atomic_signal_fence(std::memory_order_seq_cst); }

}  // namespace plat
