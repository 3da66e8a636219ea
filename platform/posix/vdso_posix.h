// The kernel's vDSO: the small shared object the kernel maps into every
// process, read from the ELF image that the auxiliary vector names. The
// loader's own list of objects is not used: its lock may be held for good in a
// forked child.
#pragma once

#include <time.h>

#include <cstdint>

namespace plat::posix {

struct CodeRange {
  std::uintptr_t start;
  std::uintptr_t end;
  bool Contains(std::uintptr_t address) const { return address >= start && address < end; }
};

// Where the vDSO's code lies; {0, 0} without a vDSO.
CodeRange VdsoCode();

using ClockGettime = int (*)(clockid_t clock, timespec* now);

// The vDSO's own clock_gettime, or null. Called directly, nothing lies
// between the caller's frame and the vDSO's, whatever the C library or a
// sanitizer puts around its clock_gettime.
ClockGettime VdsoClockGettime();

}  // namespace plat::posix
