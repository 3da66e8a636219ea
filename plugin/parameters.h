// How the meter reads the three texts the host passes on every call.
#pragma once

#include <cstdint>

// Leading white space, one optional sign, decimal digits up to the first
// non-digit, accumulated in 32-bit arithmetic that wraps; no digits give 0.
std::int32_t TextToInt32(const char* text);

// Level 0..30 to thread priority -15..+15; levels outside become 30.
std::int32_t ThreadPriorityFromLevel(std::int32_t level);

// Level 1..5 to a priority class flag; every other level is realtime.
std::uint32_t PriorityClassFromLevel(std::int32_t level);

// The system time at which an instance stamped lastUpdate is due again:
// interval seconds later, wrapping modulo 2^64.
std::uint64_t DueTime(std::uint64_t lastUpdate, std::int32_t intervalSeconds);
