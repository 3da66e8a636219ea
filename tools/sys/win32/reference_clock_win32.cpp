#include <windows.h>

#include "tools/sys/reference_clock.h"

namespace sys {

// The performance counter is the rate-uncorrected clock Windows offers.
std::int64_t ReadRawNanoseconds() {
  LARGE_INTEGER frequency{};
  LARGE_INTEGER counter{};
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&counter);
  const std::int64_t seconds = counter.QuadPart / frequency.QuadPart;
  const std::int64_t rest = counter.QuadPart % frequency.QuadPart;
  return seconds * 1'000'000'000 + rest * 1'000'000'000 / frequency.QuadPart;
}

bool KernelTscMegahertz(double& /*megahertz*/, std::string& /*source*/) { return false; }

}  // namespace sys
