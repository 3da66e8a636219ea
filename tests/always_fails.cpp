// A module whose every reading is the failure text.
#include <cstdint>

#include "tests/test_helpers.h"

#if defined(_WIN32)
#define EXPORTED __declspec(dllexport)
#else
#define EXPORTED __attribute__((visibility("default")))
#endif

namespace {
int gInstance = 0;
}  // namespace

extern "C" {
EXPORTED void* dllstartup(std::uint32_t /*first*/, std::uint32_t /*second*/) { return &gInstance; }
EXPORTED std::int32_t dllshutdown(void* /*instance*/) { return 0; }
EXPORTED const char* GetCPUSpeed(void* /*instance*/, const char* /*interval*/,
                                 const char* /*thread*/, const char* /*priorityClass*/) {
  return kFailureText;
}
}
