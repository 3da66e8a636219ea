// References the accuracy tool judges the meter against, read from the OS.
#pragma once

#include <cstdint>
#include <string>

namespace sys {

// A clock free of rate corrections, in nanoseconds.
std::int64_t ReadRawNanoseconds();

// The time-stamp counter's frequency as the kernel determined it, in MHz;
// false where the kernel does not publish it. source says where it came from.
bool KernelTscMegahertz(double& megahertz, std::string& source);

}  // namespace sys
