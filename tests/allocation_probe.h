// Stands between the test program and the C heap (the link wraps malloc and
// free): counts the blocks alive and can make a chosen allocation fail.
#pragma once

namespace allocation_probe {

// Blocks allocated with malloc and not yet freed.
long LiveBlocks();

// Makes the allocation that comes countFromNow allocations later (1: the
// next one) return null; 0 disarms.
void FailAllocation(int countFromNow);

}  // namespace allocation_probe
