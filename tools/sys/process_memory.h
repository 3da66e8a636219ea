// How much memory the process holds, for the soak.
#pragma once

#include <cstdint>

namespace sys {

// Resident memory of the calling process in KiB; 0 when unknown.
std::uint64_t ResidentKilobytes();

}  // namespace sys
