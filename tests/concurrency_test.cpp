// Hosts call the meter from threads of their own, each with its own
// instance: calls on different instances share nothing but the platform.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "plugin/plugin_api.h"
#include "tests/test_helpers.h"

namespace {

constexpr int kThreads = 8;
constexpr auto kDuration = std::chrono::milliseconds(1500);

TEST(Concurrency, EightThreadsMixDueAndCachedCallsOnTheirOwnInstances) {
  std::atomic<int> failures{0};
  std::atomic<int> updates{0};
  std::atomic<long> cachedCalls{0};
  const auto deadline = std::chrono::steady_clock::now() + kDuration;
  std::vector<std::thread> threads;
  threads.reserve(kThreads);
  for (int index = 0; index < kThreads; ++index) {
    threads.emplace_back([&] {
      MeterInstance* instance = dllstartup(0, 0);
      while (std::chrono::steady_clock::now() < deadline) {
        // Normal levels: eight boosted threads on a small machine would
        // starve it.
        const char* measured = GetCPUSpeed(instance, "0", "15", "2");
        ++updates;
        if (std::strcmp(measured, kFailureText) == 0) {
          ++failures;
        }
        for (int call = 0; call < 1000; ++call) {
          if (GetCPUSpeed(instance, "3600", "30", "4") != measured) {
            ++failures;
          }
        }
        cachedCalls += 1000;
      }
      dllshutdown(instance);
    });
  }
  for (std::thread& thread : threads) {
    thread.join();
  }
  EXPECT_EQ(failures, 0);
  EXPECT_GE(updates, kThreads);
  EXPECT_GE(cachedCalls, kThreads * 1000L);
}

}  // namespace
