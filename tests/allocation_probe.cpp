#include "tests/allocation_probe.h"

#include <atomic>
#include <cstddef>

namespace {

std::atomic<long> gLive{0};
std::atomic<int> gFailCountdown{0};

}  // namespace

// The linker sends the program's calls of malloc and free here
// (--wrap=malloc,--wrap=free) and the real ones to __real_malloc and
// __real_free.
// NOLINTBEGIN(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp): the linker's names.
extern "C" {
void* __real_malloc(std::size_t size);
void __real_free(void* block);

void* __wrap_malloc(std::size_t size) {
  const int countdown = gFailCountdown.load();
  if (countdown > 0 && gFailCountdown.fetch_sub(1) == 1) {
    return nullptr;
  }
  void* block = __real_malloc(size);
  if (block != nullptr) {
    ++gLive;
  }
  return block;
}

void __wrap_free(void* block) {
  if (block != nullptr) {
    --gLive;
    __real_free(block);
  }
}
}
// NOLINTEND(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)

namespace allocation_probe {

long LiveBlocks() { return gLive.load(); }

void FailAllocation(int countFromNow) { gFailCountdown.store(countFromNow); }

}  // namespace allocation_probe
