// One meter the host created: the stamp of its last update and the text the
// meter function hands back.
#pragma once

#include <cstdint>

struct MeterInstance {
  // System time (100 ns units since 1601) of the last update; 0 before it.
  std::uint64_t lastUpdate;
  // Null before the first update, else a 12-character buffer this instance
  // owns, or the module's constant failure text, which it does not own.
  const char* resultText;
};

// Room for any signed 32-bit value in decimal and its terminator.
constexpr int kResultBufferSize = 12;
