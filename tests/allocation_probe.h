// Replaces the global allocation functions of the test program: counts the
// blocks alive and can make a chosen allocation fail.
#pragma once

namespace allocation_probe {

// Blocks allocated with operator new and not yet deleted.
long LiveBlocks();

// Makes the allocation that comes countFromNow allocations later (1: the
// next one) throw std::bad_alloc; 0 disarms.
void FailAllocation(int countFromNow);

}  // namespace allocation_probe
