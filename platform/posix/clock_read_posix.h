// The module's own clock reads, marked for the fault guard. The kernel runs
// clock reads in its vDSO, which faults where the time-stamp counter is
// refused. Such a fault is the module's only when the module itself makes the
// read, not when a host's signal handler that interrupted the module makes a
// read of its own.
#pragma once

namespace plat::posix {

// The frame of the function in which the calling thread is making one of the
// module's clock reads, or null. Set and cleared around the read: two stores,
// no system call. Initial-exec TLS: a plain load in a signal handler, which
// is why the module needs a place in the static TLS block. __thread: the
// word has no dynamic initialisation, so a read calls no initialiser.
// NOLINTNEXTLINE(bugprone-dynamic-static-initializers): a declaration only
extern __attribute__((tls_model("initial-exec"))) __thread const void* tClockReadFrame;

}  // namespace plat::posix
