#include <malloc.h>
#include <unistd.h>

#include <fstream>

#include "tools/sys/process_memory.h"

namespace sys {

std::uint64_t ResidentKilobytes() {
  std::ifstream statm("/proc/self/statm");
  std::uint64_t totalPages = 0;
  std::uint64_t residentPages = 0;
  if (!(statm >> totalPages >> residentPages)) {
    return 0;
  }
  return residentPages * static_cast<std::uint64_t>(sysconf(_SC_PAGESIZE)) / 1024;
}

std::uint64_t HeapBytesInUse() {
  const struct mallinfo2 heap = mallinfo2();
  return heap.uordblks + heap.hblkhd;
}

}  // namespace sys
