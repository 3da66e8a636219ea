#include "tests/allocation_probe.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace {

std::atomic<long> gLive{0};
std::atomic<int> gFailCountdown{0};

void* Allocate(std::size_t size) {
  const int countdown = gFailCountdown.load();
  if (countdown > 0 && gFailCountdown.fetch_sub(1) == 1) {
    throw std::bad_alloc();
  }
  void* block = std::malloc(size == 0 ? 1 : size);
  if (block == nullptr) {
    throw std::bad_alloc();
  }
  ++gLive;
  return block;
}

void Release(void* block) {
  if (block != nullptr) {
    --gLive;
    std::free(block);
  }
}

}  // namespace

namespace allocation_probe {

long LiveBlocks() { return gLive.load(); }

void FailAllocation(int countFromNow) { gFailCountdown.store(countFromNow); }

}  // namespace allocation_probe

void* operator new(std::size_t size) { return Allocate(size); }
void* operator new[](std::size_t size) { return Allocate(size); }
void* operator new(std::size_t size, const std::nothrow_t& /*tag*/) noexcept {
  try {
    return Allocate(size);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept {
  return operator new(size, tag);
}
void operator delete(void* block) noexcept { Release(block); }
void operator delete[](void* block) noexcept { Release(block); }
void operator delete(void* block, std::size_t /*size*/) noexcept { Release(block); }
void operator delete[](void* block, std::size_t /*size*/) noexcept { Release(block); }
