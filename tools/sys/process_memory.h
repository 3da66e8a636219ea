// How much memory the process holds, for the soak and the tests.
#pragma once

#include <cstdint>

namespace sys {

// Resident memory of the calling process in KiB; 0 when unknown.
std::uint64_t ResidentKilobytes();

// Bytes of the C heap in use (allocated and not freed); exact where the C
// library can say, 0 where it cannot (a sanitizer's allocator).
std::uint64_t HeapBytesInUse();

}  // namespace sys
